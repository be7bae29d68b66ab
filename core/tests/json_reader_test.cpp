// The JSON reader: syntax messages and positions, values, re-encoding, and
// large inputs (the public conformance suite: json_conformance_test.cpp).
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "json.hpp"

namespace json_reader_test {
namespace {

namespace json = quillon_bo_core::json;

std::string outcome(std::string_view text) {
  auto parsed = json::parse(text);
  return parsed.ok() ? "ok" : parsed.failure().to_text(text);
}

// A record with one field, so that every other member is skipped.
struct Skipper {
  std::optional<std::string> keep;
};
constexpr auto record_table(json::Tag<Skipper>) {
  return json::record("Skipper", json::defaulted("keep", &Skipper::keep));
}

struct Case {
  std::string text;
  const char* expected;
};

TEST(JsonReader, SyntaxMessagesAndPositions) {
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
      {"tr", "EOF while parsing a value at line 1 column 2"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"[1e", "EOF while parsing a value at line 1 column 3"},
      {"1E-", "EOF while parsing a value at line 1 column 3"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1, 2 ", "EOF while parsing a list at line 1 column 6"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {R"({"a":1 )", "EOF while parsing an object at line 1 column 7"},
      {R"("abc)", "EOF while parsing a string at line 1 column 4"},
      {R"("ab\)", "EOF while parsing a string at line 1 column 4"},
      {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
      {R"("\ud800)", "EOF while parsing a string at line 1 column 7"},
      {R"("\ud800\)", "EOF while parsing a string at line 1 column 8"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {R"({"status" 200})", "expected `:` at line 1 column 11"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {"trux", "expected ident at line 1 column 4"},
      {"falsy", "expected ident at line 1 column 5"},
      {"[nul]", "expected ident at line 1 column 5"},
      {"tru}", "expected ident at line 1 column 4"},
      {"x", "expected value at line 1 column 1"},
      {"[1,}", "expected value at line 1 column 4"},
      {"\xC2\xA0"
       "1",
       "expected value at line 1 column 1"},  // no-break space is no white space
      {"\f1", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {R"("\x")", "invalid escape at line 1 column 3"},
      {R"("\U0041")", "invalid escape at line 1 column 3"},
      {R"("\u00G0")", "invalid escape at line 1 column 6"},
      {R"("\u0)", "EOF while parsing a string at line 1 column 4"},
      {R"("\u0x)", "invalid escape at line 1 column 5"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"[.5]", "expected value at line 1 column 2"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string("\"a\0\"", 4),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      // The looked-at byte is the line feed itself: the position is just after it.
      {"\"a\nb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {R"({1:2})", "key must be a string at line 1 column 2"},
      {R"({"a":1,2:3})", "key must be a string at line 1 column 8"},
      {R"("\udc00")", "lone leading surrogate in hex escape at line 1 column 7"},
      {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\ud800\ud800")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"({"\udc00":1})", "lone leading surrogate in hex escape at line 1 column 8"},
      {R"("\ud800x")", "unexpected end of hex escape at line 1 column 8"},
      {R"("\ud800\n")", "unexpected end of hex escape at line 1 column 9"},
      {R"("\ud800")", "unexpected end of hex escape at line 1 column 8"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1, \n ]", "trailing comma at line 2 column 2"},
      {R"({"a":1,})", "trailing comma at line 1 column 8"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"nulll", "trailing characters at line 1 column 5"},
      {"{} x", "trailing characters at line 1 column 4"},
      {R"({"status":200,"body":"x"} x)", "trailing characters at line 1 column 27"},
      // Columns count bytes; line feeds start lines, carriage returns do not.
      {"\"\xC3\xA9\" x", "trailing characters at line 1 column 6"},
      {"[\"\xE2\x82\xAC\xF0\x9F\x98\x80\" x]", "expected `,` or `]` at line 1 column 12"},
      {"[\n1,\n\n  2 3]", "expected `,` or `]` at line 4 column 5"},
      {"\r\n\r\n x", "expected value at line 3 column 2"},
      {"\r\r x", "expected value at line 1 column 4"},
      {"[\n", "EOF while parsing a list at line 2 column 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << c.text;
}

TEST(JsonReader, SkippedValuesReportTheSameSyntaxFaults) {
  // The skipping path is separate code; it must agree with the value reader
  // on every syntax fault, offsets shifted by the prefix.
  const std::string prefix = R"({"x":)";
  std::vector<std::string> texts = {
      "[1,",         "tr",        "-",          "1.",          "[1e",
      "[",           "{",         R"({"a")",    R"({"a":1 )",  R"("abc)",
      R"("ab\)",     R"("\u12)",  R"({"a" 1})", "[1 2]",       R"({"a":1 "b":2})",
      "trux",        "[nul]",     "x",          "[1,}",        R"("\x")",
      R"("\u00G0")", "01",        "-x",         "1.e5",        "1e+x",
      "\"a\tb\"",    R"({1:2})",  "[1,]",       R"({"a":1,})", R"({"a":1,)",
      "[[[]]",       "{\"a\":[}", "[\"\n\"]"};
  for (const auto& t : texts) {
    auto value = json::parse(t);
    auto skipped = json::decode<Skipper>(prefix + t);
    ASSERT_FALSE(value.ok()) << t;
    ASSERT_FALSE(skipped.ok()) << t;
    EXPECT_EQ(skipped.failure().message, value.failure().message) << t;
    EXPECT_EQ(skipped.failure().offset, value.failure().offset + prefix.size()) << t;
  }
}

TEST(JsonReader, NestingBudget) {
  const std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(outcome(ok), "ok");
  const std::string over = std::string(128, '[') + std::string(128, ']');
  EXPECT_EQ(outcome(over), "recursion limit exceeded at line 1 column 128");
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += R"({"a":)";
  EXPECT_EQ(outcome(objects), "recursion limit exceeded at line 1 column 636");
  // The budget is given back when a container closes.
  std::string siblings = "[";
  for (int i = 0; i < 1000; ++i) siblings += std::string(100, '[') + std::string(100, ']') + ",";
  siblings += "1]";
  EXPECT_EQ(outcome(siblings), "ok");
}

TEST(JsonReader, Values) {
  struct ValueCase {
    const char* text;
    const char* written;
  };
  const ValueCase cases[] = {
      {" null ", "null"},
      {"[true,false]", "[true,false]"},
      {"-0", "0"},
      {"[-0.0,0e0,1E+2,-1e-2,12.50]", "[-0.0,0e0,1E+2,-1e-2,12.50]"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"1e400", "1e400"},
      {R"({"b":1,"a":2,"b":3})", R"({"a":2,"b":3})"},
      {R"({"a\u0062":1,"ab":2})", R"({"ab":2})"},
      {R"({"B":1,"a":2,"":3,"aa":4})", R"({"":3,"B":1,"a":2,"aa":4})"},
      {R"("\"\\\/\b\f\n\r\t")", R"("\"\\/\b\f\n\r\t")"},
      {R"("\u0000\u001f\u0020")", R"("\u0000\u001f ")"},
      {R"("\u00e9\u20AC\ud83d\ude00")", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"\"\xC3\xA9\"", "\"\xC3\xA9\""},
      {" [ 1 , { \"a\" : [ ] } ] ", R"([1,{"a":[]}])"},
  };
  for (const auto& c : cases) {
    auto parsed = json::parse(c.text);
    ASSERT_TRUE(parsed.ok()) << c.text << ": " << parsed.failure().to_text(c.text);
    EXPECT_EQ(json::to_text(parsed.value()), c.written) << c.text;
  }
}

// Random values of every kind, written and read back.
class ValueGenerator {
 public:
  explicit ValueGenerator(std::uint32_t seed) : rng_(seed) {}

  json::Value value(int depth) {
    switch (pick(depth > 0 ? 7 : 5)) {
      case 0:
        return nullptr;
      case 1:
        return pick(2) == 1;
      case 2:
        return json::Number{number()};
      case 3:
      case 4:
        return text();
      case 5: {
        json::Array items;
        for (int i = pick(5); i > 0; --i) items.push_back(value(depth - 1));
        return items;
      }
      default: {
        std::vector<json::Member> members;
        for (int i = pick(5); i > 0; --i) members.push_back({text(), value(depth - 1)});
        return json::Object::from_members(std::move(members));
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }

  std::string digits(int max) {
    std::string d(1, static_cast<char>('1' + pick(9)));
    for (int i = pick(max); i > 0; --i) d += static_cast<char>('0' + pick(10));
    return d;
  }

  std::string number() {
    std::string n = pick(3) == 0 ? "-" : "";
    n += pick(4) == 0 ? "0" : digits(25);
    if (pick(3) == 0) n += "." + digits(6);
    if (pick(4) == 0) n += std::string(pick(2) ? "e" : "E") + (pick(2) ? "-" : "+") + digits(3);
    return n == "-0" ? "0" : n;
  }

  std::string text() {
    static const char* const pieces[] = {"a",
                                         "Z",
                                         " ",
                                         "\"",
                                         "\\",
                                         "/",
                                         "\n",
                                         "\t",
                                         "\x01",
                                         "\x1f",
                                         "\x7f",
                                         "\xC3\xA9",
                                         "\xE2\x82\xAC",
                                         "\xF0\x9F\x98\x80",
                                         std::string_view("\0", 1).data()};
    std::string s;
    for (int i = pick(8); i > 0; --i) {
      const int k = pick(15);
      if (k == 14) {
        s += '\0';
      } else {
        s += pieces[k];
      }
    }
    return s;
  }

  std::mt19937 rng_;
};

TEST(JsonReader, WrittenValuesReadBackEqual) {
  ValueGenerator gen(20240611);
  for (int i = 0; i < 3000; ++i) {
    const json::Value v = gen.value(5);
    const std::string text = json::to_text(v);
    auto back = json::parse(text);
    ASSERT_TRUE(back.ok()) << text << ": " << back.failure().to_text(text);
    ASSERT_EQ(back.value(), v) << text;
    EXPECT_EQ(json::to_text(back.value()), text);
  }
}

TEST(JsonReader, LargeInputsStayLinear) {
  // A million members, escapes and digits: each in one pass (a quadratic
  // reader would not finish).
  std::string members = "{";
  for (int i = 0; i < 1'000'000; ++i) members += "\"k" + std::to_string(i % 1000) + "\":1,";
  members += "\"last\":2}";
  auto many = json::parse(members);
  ASSERT_TRUE(many.ok());
  EXPECT_EQ(many.value().get_if<json::Object>()->size(), 1001u);

  std::string escapes = "\"";
  for (int i = 0; i < 1'000'000; ++i) escapes += "\\n";
  escapes += "\"";
  auto decoded = json::parse(escapes);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value().get_if<std::string>()->size(), 1'000'000u);

  const std::string digits = "1" + std::string(1'000'000, '7');
  auto number = json::parse(digits);
  ASSERT_TRUE(number.ok());
  EXPECT_EQ(number.value().get_if<json::Number>()->text, digits);
  EXPECT_TRUE(json::decode<Skipper>(R"({"x":)" + digits + "}").ok());
}

}  // namespace
}  // namespace json_reader_test
