// The messages of fields that hold something else: integers out of range or
// not integers, other kinds of value where text is expected, and how a string
// found is quoted in a message.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "config.hpp"
#include "http.hpp"
#include "json.hpp"
#include "token.hpp"

namespace json_field_messages_test {
namespace {

namespace qb = quillon_bo_core;
namespace json = qb::json;

using qb::Config;
using qb::HttpResponse;
using qb::TokenInput;

template <class T>
std::string failure_of(std::string_view text) {
  json::Arena arena;
  auto decoded = json::decode<T>(text, arena);
  if (decoded.ok()) return "ok";
  return decoded.failure().to_text(text);
}

struct Case {
  const char* text;
  const char* expected;
};

TEST(JsonFieldMessages, NumberFieldMessages) {
  json::Arena arena;
  const Case u16_cases[] = {
      {"0", "ok"},
      {"65535", "ok"},
      {"65536", "invalid value: integer `65536`, expected u16"},
      {"-1", "invalid value: integer `-1`, expected u16"},
      {"-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected u16"},
      {"-9223372036854775809",
       "invalid type: floating point `-9.223372036854776e+18`, expected u16"},
      {"18446744073709551615", "invalid value: integer `18446744073709551615`, expected u16"},
      {"18446744073709551616",
       "invalid type: floating point `1.8446744073709552e+19`, expected u16"},
      {"-0", "invalid type: floating point `-0.0`, expected u16"},
      {"1e2", "invalid type: floating point `100.0`, expected u16"},
      {"1e20", "invalid type: floating point `1e+20`, expected u16"},
      {"1.5E20", "invalid type: floating point `1.5e+20`, expected u16"},
      {"1e15", "invalid type: floating point `1000000000000000.0`, expected u16"},
      {"1e16", "invalid type: floating point `1e+16`, expected u16"},
      {"0.00001", "invalid type: floating point `0.00001`, expected u16"},
      {"0.000001", "invalid type: floating point `1e-6`, expected u16"},
      {"2.5e-7", "invalid type: floating point `2.5e-7`, expected u16"},
      {"0.1", "invalid type: floating point `0.1`, expected u16"},
      {"-12.375", "invalid type: floating point `-12.375`, expected u16"},
      {"0e999999999999", "invalid type: floating point `0.0`, expected u16"},
      {"1e-400", "invalid type: floating point `0.0`, expected u16"},
      {"-1e-400", "invalid type: floating point `-0.0`, expected u16"},
      {"1e400", "number out of range"},
      {"-1e400", "number out of range"},
      {"1.8e308", "number out of range"},
      {"1.7e308", "invalid type: floating point `1.7e+308`, expected u16"},
      {"1e99999999999999999999999", "number out of range"},
      {"0.0000000000000000000000000000001e400", "number out of range"},
      {"\"200\"", "invalid type: string \"200\", expected u16"},
      {"null", "invalid type: null, expected u16"},
      {"false", "invalid type: boolean `false`, expected u16"},
  };
  for (const auto& c : u16_cases) {
    const std::string text = std::string(R"({"body":"","status":)") + c.text + "}";
    auto r = json::decode<HttpResponse>(text, arena);
    const std::string got = r.ok() ? "ok" : r.failure().message;
    EXPECT_EQ(got, c.expected) << c.text;
    if (!r.ok()) {
      // Data faults sit just after the number's last byte.
      EXPECT_EQ(r.failure().offset, text.size() - 1) << c.text;
    }
  }
  const Case i64_cases[] = {
      {"9223372036854775807", "ok"},
      {"-9223372036854775808", "ok"},
      {"9223372036854775808", "invalid value: integer `9223372036854775808`, expected i64"},
      {"18446744073709551615", "invalid value: integer `18446744073709551615`, expected i64"},
      {"18446744073709551616",
       "invalid type: floating point `1.8446744073709552e+19`, expected i64"},
      {"-9223372036854775809",
       "invalid type: floating point `-9.223372036854776e+18`, expected i64"},
      {"-0", "invalid type: floating point `-0.0`, expected i64"},
      {"5.5", "invalid type: floating point `5.5`, expected i64"},
      {"\"5\"", "invalid type: string \"5\", expected i64"},
  };
  for (const auto& c : i64_cases) {
    const std::string text = std::string(R"({"now":)") + c.text + "}";
    auto r = json::decode<TokenInput>(text);
    EXPECT_EQ(r.ok() ? "ok" : r.failure().message, c.expected) << c.text;
  }
  auto min = json::decode<TokenInput>("[-9223372036854775808]");
  ASSERT_TRUE(min.ok());
  EXPECT_EQ(min.value().now, INT64_MIN);
}

TEST(JsonFieldMessages, ValuesOfTheWrongTypeForText) {
  const Case cases[] = {
      {"5", "invalid type: integer `5`, expected a string at line 1 column 14"},
      {"-0", "invalid type: integer `0`, expected a string at line 1 column 15"},
      {"5.5", "invalid type: number, expected a string at line 1 column 16"},
      {"1e400", "invalid type: number, expected a string at line 1 column 18"},
      {"99999999999999999999", "invalid type: number, expected a string at line 1 column 33"},
      {"null", "invalid type: null, expected a string at line 1 column 17"},
      {"true", "invalid type: boolean `true`, expected a string at line 1 column 17"},
      // An array or object is only looked at: the offset is that of its first byte.
      {"[1]", "invalid type: sequence, expected a string at line 1 column 13"},
      {"{\"a\":1}", "invalid type: map, expected a string at line 1 column 13"},
      {"x", "expected value at line 1 column 14"},
      {"nul", "EOF while parsing a value at line 1 column 16"},
  };
  for (const auto& c : cases) {
    const std::string text = std::string(R"({"client_id":)") + c.text;
    EXPECT_EQ(failure_of<Config>(text), c.expected) << c.text;
  }
}

TEST(JsonFieldMessages, StringSlotEscapes) {
  json::Arena arena;
  const Case cases[] = {
      {R"("a\"b\\c")", R"(string "a\"b\\c")"},
      {R"("\n\r\t\u0000")", R"(string "\n\r\t\0")"},
      {R"("\u0001\u001f\u007f\u0085")", R"(string "\u{1}\u{1f}\u{7f}\u{85}")"},
      {R"("it's")", R"(string "it's")"},
      {R"("\b\f")", R"(string "\u{8}\u{c}")"},
      {"\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"",
       "string \"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      {"\"e\xCC\x81\"", R"(string "e\u{301}")"},  // a combining mark
      {R"("\u00a0\u200b\ufeff")", R"(string "\u{a0}\u{200b}\u{feff}")"},
      {"\"\xFF\xC3\"", "string \"\xEF\xBF\xBD\xEF\xBF\xBD\""},  // not UTF-8: U+FFFD each
      // Unassigned code points are not printable either; their neighbours are.
      {R"("\uffff\ufffe\ufffd")", "string \"\\u{ffff}\\u{fffe}\xEF\xBF\xBD\""},
      {"\"\xCD\xB7\xCD\xB8\"", "string \"\xCD\xB7\\u{378}\""},
      {R"("\udbff\udfff")", R"(string "\u{10ffff}")"},
      // Characters assigned in recent Unicode versions are printable, their
      // combining marks are not.
      {R"("\u0c5c\u1b4e")", "string \"\xE0\xB1\x9C\xE1\xAD\x8E\""},
      {R"("a\u1acf")", R"(string "a\u{1acf}")"},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("[") + c.text + "]";
    auto r = json::decode<HttpResponse>(text, arena);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure().message, std::string("invalid type: ") + c.expected + ", expected u16")
        << c.text;
  }
}

}  // namespace
}  // namespace json_field_messages_test
