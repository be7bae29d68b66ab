// Records that borrow their strings: escaped strings decoded into the arena
// must read exactly as the value reader reads them, wherever the escapes fall
// and however much the arena has to grow; and the integers read eight digits
// at a time must agree with the digit-by-digit reading.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config.hpp"
#include "core_ops.hpp"
#include "ffi.hpp"
#include "http.hpp"
#include "json.hpp"
#include "token.hpp"

namespace json_borrow_test {
namespace {

namespace qb = quillon_bo_core;
namespace json = qb::json;

// The escapes a JSON text may hold, with a multi-byte character written as it is.
const std::vector<std::string> pieces = {R"(\")",     R"(\\)",           R"(\/)",    R"(\b)",
                                         R"(\f)",     R"(\n)",           R"(\r)",    R"(\t)",
                                         R"(\u00e9)", R"(\ud83d\ude00)", "\xC3\xA9", "x"};

// The string the value reader makes of the quoted text.
std::string value_reading(const std::string& quoted) {
  auto parsed = json::parse(quoted);
  EXPECT_TRUE(parsed.ok()) << quoted;
  return *parsed.value().get_if<std::string>();
}

TEST(JsonBorrow, EscapedStringsReadAsTheValueReaderReadsThem) {
  // Every escape at every offset of plain runs around it, alone and in
  // pairs, in strings short and long (the long ones pass the arena's own room).
  for (std::size_t before : {0, 1, 7, 15, 16, 17, 31, 63, 64, 65, 1100}) {
    for (std::size_t after : {0, 1, 15, 16, 40}) {
      for (const std::string& first : pieces) {
        for (const std::string& second : {std::string(), std::string(R"(\")"), first}) {
          const std::string quoted = '"' + std::string(before, 'a') + first + second +
                                     std::string(after, 'b') + first + '"';
          const std::string payload = R"({"status":200,"body":)" + quoted + "}";
          json::Arena arena;
          auto decoded = json::decode<qb::HttpResponse>(payload, arena);
          ASSERT_TRUE(decoded.ok()) << payload << ": " << decoded.failure().to_text(payload);
          EXPECT_EQ(decoded.value().body, value_reading(quoted)) << quoted;
        }
      }
    }
  }
}

TEST(JsonBorrow, StringsWithoutEscapesViewTheText) {
  const std::string payload = R"({"status":200,"body":"plain"})";
  json::Arena arena;
  auto decoded = json::decode<qb::HttpResponse>(payload, arena);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value().body.data(), payload.data() + payload.find("plain"));
}

TEST(JsonBorrow, EarlierStringsSurviveTheArenaGrowing) {
  // Four escaped strings, each larger than any block the arena starts with.
  std::vector<std::string> texts;
  std::string fields[4];
  const char letters[] = "istu";
  for (int i = 0; i < 4; ++i) {
    texts.push_back(std::string(5000, letters[i]) + "\n" + std::string(10, letters[i]));
    fields[i] = '"' + std::string(5000, letters[i]) + "\\n" + std::string(10, letters[i]) + '"';
  }
  const std::string text =
      "[" + fields[0] + "," + fields[1] + "," + fields[2] + R"(,"production",)" + fields[3] + "]";
  json::Arena arena;
  auto decoded = json::decode<qb::Config>(text, arena);
  ASSERT_TRUE(decoded.ok()) << decoded.failure().to_text(text);
  const qb::Config& config = decoded.value();
  EXPECT_EQ(config.client_id, texts[0]);
  EXPECT_EQ(config.client_secret, texts[1]);
  EXPECT_EQ(config.basic_token, texts[2]);
  EXPECT_EQ(config.environment, qb::Environment::production);
  EXPECT_EQ(config.base_url, texts[3]);
}

TEST(JsonBorrow, IntegersOfEveryLength) {
  struct Case {
    std::string digits;
    std::string expected;  // the value, or the message of the failure
  };
  const Case cases[] = {
      {"7", "7"},
      {"12345678", "12345678"},
      {"123456789", "123456789"},
      {"1234567890123456", "1234567890123456"},
      {"1767222000", "1767222000"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-12345678", "-12345678"},
      {"9223372036854775808",
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 26"},
      {"12345678901234567890",
       "invalid value: integer `12345678901234567890`, expected i64 at line 1 column 27"},
      {"01234567", "invalid number at line 1 column 9"},
      {"12345678.5", "invalid type: floating point `12345678.5`, expected i64 at line 1 column 17"},
      {"1234567e1", "invalid type: floating point `12345670.0`, expected i64 at line 1 column 16"},
      {"1234567/", "expected `,` or `}` at line 1 column 15"},
      {"12345678:", "expected `,` or `}` at line 1 column 16"},
  };
  for (const Case& c : cases) {
    const std::string text = R"({"now":)" + c.digits + "}";
    auto decoded = json::decode<qb::TokenInput>(text);
    const std::string got =
        decoded.ok() ? std::to_string(decoded.value().now) : decoded.failure().to_text(text);
    EXPECT_EQ(got, c.expected) << c.digits;
  }
}

TEST(JsonBorrow, ATokenAnswerWithEscapesThroughTheCall) {
  // The answer's strings borrow from the body, which the payload's escapes
  // put in the arena; the token itself has escapes of its own.
  const std::string answer = R"({"access_token":"a\/b\u00e9","scope":"s","expires_in":120})";
  std::string body;
  json::write_string(answer, body);
  const std::string payload =
      R"({"input":{"now":1000},"response":{"status":200,"body":)" + body + "}}";
  const qb::CoreOps registry;
  EXPECT_EQ(qb::ffi::call(registry, "token.parse", payload),
            "{\"ok\":true,\"value\":{\"access_token\":\"a/b\xC3\xA9\",\"expires_at\":1060,"
            "\"scope\":\"s\",\"token_type\":\"Bearer\"}}");
}

}  // namespace
}  // namespace json_borrow_test
