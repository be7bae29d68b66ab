// Record decoding through the tables: both forms, every field kind, the data
// messages and their positions, and writing a record back as a value.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "access_token.hpp"
#include "config.hpp"
#include "ffi.hpp"
#include "http.hpp"
#include "json.hpp"
#include "token.hpp"

namespace json_record_test {
namespace {

namespace qb = quillon_bo_core;
namespace json = qb::json;

// The production records and tables: a changed field, default or name in
// them changes what these tests see.
using qb::AccessToken;
using qb::Config;
using qb::Environment;
using qb::HttpRequest;
using qb::HttpResponse;
using qb::Method;
using qb::TokenInput;
using qb::TokenResponse;
using Build = qb::ffi::Build<TokenInput>;
template <class Input>
using Parse = qb::ffi::Parse<Input>;

// Records for what no production record has: two- and one-name enumerations
// and deep nesting.
enum class Pair { left, right };
constexpr auto enum_table(json::Tag<Pair>) {
  return json::enumeration<Pair>({{"left", Pair::left}, {"right", Pair::right}});
}

enum class Single { only };
constexpr auto enum_table(json::Tag<Single>) {
  return json::enumeration<Single>({{"only", Single::only}});
}

struct Choice {
  Pair pair = Pair::left;
  Single single = Single::only;
};
constexpr auto record_table(json::Tag<Choice>) {
  return json::record("Choice", json::defaulted("pair", &Choice::pair, Pair::left),
                      json::defaulted("single", &Choice::single, Single::only));
}

// Records nested N deep around a leaf: Level<N>{Level<N-1> inner}, ...,
// Level<0>{Leaf leaf}.
template <int N, class Leaf = std::uint16_t>
struct Level {
  Level<N - 1, Leaf> inner;
};
template <class Leaf>
struct Level<0, Leaf> {
  Leaf leaf{};
};
template <int N, class Leaf>
constexpr auto record_table(json::Tag<Level<N, Leaf>>) {
  if constexpr (N == 0) {
    return json::record("Leaf", json::required("leaf", &Level<N, Leaf>::leaf));
  } else {
    return json::record("Level", json::required("inner", &Level<N, Leaf>::inner));
  }
}

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

TEST(JsonRecord, HttpResponseWorkedExamples) {
  const Case cases[] = {
      {"{}", "missing field `status` at line 1 column 2"},
      {R"({"status":"x","body":""})",
       R"(invalid type: string "x", expected u16 at line 1 column 13)"},
      {R"({"status":70000,"body":""})",
       "invalid value: integer `70000`, expected u16 at line 1 column 15"},
      {R"({"status":200.0,"body":""})",
       "invalid type: floating point `200.0`, expected u16 at line 1 column 15"},
      {R"({"status":200,"status":201})", "duplicate field `status` at line 1 column 22"},
      {"[200]",
       "invalid length 1, expected struct HttpResponse with 2 elements at line 1 column 5"},
      {"5", "invalid type: integer `5`, expected struct HttpResponse at line 1 column 1"},
      {"{\n  \"status\": true", "invalid type: boolean `true`, expected u16 at line 2 column 16"},
      // After the number's last byte, however long its exponent.
      {"{\"body\":\"\",\n\"status\":1e99999999999999999999}",
       "number out of range at line 2 column 31"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {R"({"status" 200})", "expected `:` at line 1 column 11"},
      {R"({"status":200,"body":"x"} x)", "trailing characters at line 1 column 27"},
  };
  for (const auto& c : cases) EXPECT_EQ(failure_of<HttpResponse>(c.text), c.expected) << c.text;
}

TEST(JsonRecord, BothFormsGiveTheSameRecord) {
  json::Arena arena;
  for (const char* text : {R"({"body":"hi","status":204,"extra":[1,{"x":null}]})", R"([204,"hi"])",
                           " \t\r\n{\"status\" : 204 , \"body\" : \"h\\u0069\"}\n"}) {
    auto r = json::decode<HttpResponse>(text, arena);
    ASSERT_TRUE(r.ok()) << text << ": " << r.failure().to_text(text);
    EXPECT_EQ(r.value().status, 204);
    EXPECT_EQ(r.value().body, "hi");
  }
}

TEST(JsonRecord, Enumerations) {
  json::Arena arena;
  const Case cases[] = {
      {R"("production")", "ok"},
      {R"({"development":null})", "ok"},
      {R"( { "development" : null } )", "ok"},
      {R"("Sandbox")",
       "unknown variant `Sandbox`, expected one of `development`, `sandbox`, `production` at line "
       "1 column 40"},
      {R"({"staging":null})",
       "unknown variant `staging`, expected one of `development`, `sandbox`, `production` at line "
       "1 column 41"},
      {"null", "expected value at line 1 column 32"},
      {"5", "expected value at line 1 column 32"},
      {"[]", "expected value at line 1 column 32"},
      {"}", "expected value at line 1 column 32"},
      {"{}", "expected value at line 1 column 33"},
      {"{5:null}", "key must be a string at line 1 column 33"},
      {R"({"sandbox":1})", "invalid type: integer `1`, expected unit at line 1 column 43"},
      {R"({"sandbox":"x"})", R"(invalid type: string "x", expected unit at line 1 column 45)"},
      {R"({"sandbox":[]})", "invalid type: sequence, expected unit at line 1 column 42"},
      {R"({"sandbox"})", "expected `:` at line 1 column 42"},
      {R"({"sandbox":null)", "EOF while parsing an object at line 1 column 47"},
      // Anything but the closing brace after the null: placed before that byte.
      {R"({"sandbox":null,"production":null})", "expected value at line 1 column 46"},
      {R"({"sandbox":null x})", "expected value at line 1 column 47"},
  };
  for (const auto& c : cases) {
    const std::string text = std::string(R"({"client_id":"c","environment":)") + c.text + "}";
    EXPECT_EQ(failure_of<Config>(text), c.expected) << c.text;
  }
  EXPECT_EQ(failure_of<Config>(R"({"client_id":"c","environment":)"),
            "EOF while parsing a value at line 1 column 31");
  EXPECT_EQ(failure_of<Config>(R"({"client_id":"c","environment":{)"),
            "EOF while parsing an object at line 1 column 32");
  auto env = json::decode<Config>(R"({"client_id":"c","environment":{"development":null}})", arena);
  ASSERT_TRUE(env.ok());
  EXPECT_EQ(env.value().environment, Environment::development);

  EXPECT_EQ(failure_of<Choice>(R"({"pair":"up"})"),
            "unknown variant `up`, expected `left` or `right` at line 1 column 12");
  EXPECT_EQ(failure_of<Choice>(R"({"single":"two"})"),
            "unknown variant `two`, expected `only` at line 1 column 15");
}

TEST(JsonRecord, ObjectFormPresence) {
  json::Arena arena;
  const Case cases[] = {
      {R"({"client_id":"c"})", "ok"},
      {R"({"base_url":null,"client_id":"c","client_secret":null})", "ok"},
      {R"({"client_id":"c","client_id":"d"})", "duplicate field `client_id` at line 1 column 28"},
      {R"({"client_secret":null,"client_secret" :"x","client_id":"c"})",
       "duplicate field `client_secret` at line 1 column 37"},
      {R"({"cl\u0069ent_id":"c","client_id":"d"})",
       "duplicate field `client_id` at line 1 column 33"},
      {R"({"environment":null,"client_id":"c"})", "expected value at line 1 column 16"},
      {R"({"client_id":null})", "invalid type: null, expected a string at line 1 column 17"},
      {R"({"Client_id":"c"})", "missing field `client_id` at line 1 column 17"},
      {R"({"client_id":"c",})", "trailing comma at line 1 column 18"},
      {R"({"client_id":"c" "x":1})", "expected `,` or `}` at line 1 column 18"},
      {R"({"client_id":"c",5})", "key must be a string at line 1 column 18"},
      {R"({"client_id":"c",)", "EOF while parsing a value at line 1 column 17"},
      {R"({"client_id":"c")", "EOF while parsing an object at line 1 column 16"},
      {R"({"client_id")", "EOF while parsing an object at line 1 column 12"},
      {R"({"client_id":)", "EOF while parsing a value at line 1 column 13"},
      {R"({)", "EOF while parsing an object at line 1 column 1"},
      {R"({5)", "key must be a string at line 1 column 2"},
  };
  for (const auto& c : cases) EXPECT_EQ(failure_of<Config>(c.text), c.expected) << c.text;

  auto r = json::decode<Config>(R"({"client_id":"","client_secret":"","base_url":""})", arena);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().client_secret, "");
  EXPECT_EQ(r.value().base_url, "");
  EXPECT_EQ(r.value().basic_token, std::nullopt);
  EXPECT_EQ(r.value().environment, Environment::sandbox);
}

TEST(JsonRecord, ArrayFormLengthAndDefaults) {
  json::Arena arena;
  const Case cases[] = {
      {"[]", "invalid length 0, expected struct Config with 5 elements at line 1 column 2"},
      {R"(["c"])", "ok"},
      {R"(["c",null,null,"production",null])", "ok"},
      {R"(["c",null,null,"production",null,1])", "trailing characters at line 1 column 34"},
      {R"(["c",null,null,"production",null, ])", "trailing comma at line 1 column 35"},
      {R"(["c",null,null,"production",null,)", "EOF while parsing a value at line 1 column 33"},
      {R"(["c",null,null,"production",null)", "EOF while parsing a list at line 1 column 32"},
      {R"(["c",null,null,"production",null 1])", "trailing characters at line 1 column 34"},
      {R"(["c" null])", "expected `,` or `]` at line 1 column 6"},
      {R"(["c",])", "trailing comma at line 1 column 6"},
      {R"(["c",)", "EOF while parsing a value at line 1 column 5"},
      {R"([)", "EOF while parsing a list at line 1 column 1"},
      {R"([,"c"])", "expected value at line 1 column 2"},
  };
  for (const auto& c : cases) EXPECT_EQ(failure_of<Config>(c.text), c.expected) << c.text;

  // A defaulted field passed over: the length names the first field without a default.
  EXPECT_EQ(failure_of<Build>(R"([["c"]])"),
            "invalid length 2, expected struct Build with 3 elements at line 1 column 7");
  EXPECT_EQ(failure_of<Build>("[]"),
            "invalid length 0, expected struct Build with 3 elements at line 1 column 2");
  EXPECT_EQ(failure_of<TokenInput>("[]"),
            "invalid length 0, expected struct TokenInput with 1 element at line 1 column 2");
  // An optional field without a default still needs its element.
  EXPECT_EQ(failure_of<AccessToken>(R"(["t","Bearer",5])"),
            "invalid length 3, expected struct AccessToken with 4 elements at line 1 column 16");
  EXPECT_EQ(failure_of<AccessToken>(R"(["t","Bearer",5,null])"), "ok");
  EXPECT_EQ(failure_of<AccessToken>(R"({"access_token":"t","token_type":"b","expires_at":1})"),
            "ok");

  auto t = json::decode<TokenResponse>(R"(["tok"])", arena);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t.value().token_type, "Bearer");
  EXPECT_EQ(t.value().expires_in, 3600);
  EXPECT_EQ(t.value().scope, std::nullopt);
  auto o = json::decode<TokenResponse>(R"({"access_token":"tok","scope":"s"})", arena);
  ASSERT_TRUE(o.ok());
  EXPECT_EQ(o.value().token_type, "Bearer");
  EXPECT_EQ(o.value().expires_in, 3600);
  EXPECT_EQ(o.value().scope, "s");
  EXPECT_EQ(failure_of<TokenResponse>(R"({"access_token":"tok","token_type":null})"),
            "invalid type: null, expected a string at line 1 column 39");
}

TEST(JsonRecord, NestedAndGenericRecords) {
  json::Arena arena;
  const std::string build =
      R"({"input":{"now":5},"config":["id",null,"tok"],"token":{"access_token":"a",)"
      R"("token_type":"b","expires_at":9,"scope":null}})";
  auto b = json::decode<Build>(build, arena);
  ASSERT_TRUE(b.ok()) << b.failure().to_text(build);
  EXPECT_EQ(b.value().config.client_id, "id");
  EXPECT_EQ(b.value().config.basic_token, "tok");
  EXPECT_EQ(b.value().input.now, 5);
  ASSERT_TRUE(b.value().token.has_value());
  EXPECT_EQ(b.value().token->expires_at, 9);

  EXPECT_EQ(failure_of<Build>("{}"), "missing field `config` at line 1 column 2");
  EXPECT_EQ(failure_of<Build>(R"({"config":{"client_id":"c"}})"),
            "missing field `input` at line 1 column 28");
  // The innermost position stands.
  EXPECT_EQ(failure_of<Build>(R"({"config":{},"input":{}})"),
            "missing field `client_id` at line 1 column 12");
  EXPECT_EQ(failure_of<Build>(R"({"config":{"client_id":"c"},"input":{"now":1},"token":5})"),
            "invalid type: integer `5`, expected struct AccessToken at line 1 column 55");
  EXPECT_EQ(failure_of<Build>(R"({"config":{"client_id":"c"},"input":{"now":1},"token":null})"),
            "ok");

  using P = Parse<TokenInput>;
  EXPECT_EQ(failure_of<P>("{}"), "missing field `input` at line 1 column 2");
  EXPECT_EQ(failure_of<P>("[[5]]"),
            "invalid length 1, expected struct Parse with 2 elements at line 1 column 5");
  EXPECT_EQ(failure_of<P>("true"),
            "invalid type: boolean `true`, expected struct Parse at line 1 column 4");
  auto p = json::decode<P>(R"([[5],{"status":200,"body":"{}"}])", arena);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value().input.now, 5);
  EXPECT_EQ(p.value().response.body, "{}");
}

TEST(JsonRecord, NestedRecordsSpendTheBudget) {
  // 127 open records in either form fit; the 128th opening fails at its byte.
  auto nested = [](int records, bool arrays) {
    std::string text;
    for (int i = 1; i < records; ++i) text += arrays ? "[" : R"({"inner":)";
    text += arrays ? "[7]" : R"({"leaf":7})";
    text.append(static_cast<std::size_t>(records - 1), arrays ? ']' : '}');
    return text;
  };
  EXPECT_EQ(failure_of<Level<126>>(nested(127, false)), "ok");
  EXPECT_EQ(failure_of<Level<126>>(nested(127, true)), "ok");
  EXPECT_EQ(failure_of<Level<127>>(nested(128, true)),
            "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(failure_of<Level<127>>(nested(128, false)),
            "recursion limit exceeded at line 1 column " + std::to_string(127 * 9 + 1));
  // An enumeration's object form takes a unit too.
  const std::string outer = std::string(126, '[');
  const std::string close = std::string(126, ']');
  using Around = Level<125, Choice>;
  EXPECT_EQ(failure_of<Around>(outer + R"({"pair":"left"})" + close), "ok");
  EXPECT_EQ(failure_of<Around>(outer + R"({"pair":{"left":null}})" + close),
            "recursion limit exceeded at line 1 column 135");
  // Skipped values do not count.
  EXPECT_EQ(failure_of<HttpResponse>(R"({"x":)" + std::string(200000, '[') +
                                     std::string(200000, ']') + R"(,"status":1,"body":""})"),
            "ok");
}

TEST(JsonRecord, SkippedMembers) {
  // Only the syntax of a skipped value counts (the reader tests compare its
  // faults with the value reader's): no ranges, no surrogate pairs, no depth.
  const Case cases[] = {
      {R"({"x":1e400,"status":1,"body":""})", "ok"},
      {R"({"x":-123456789012345678901234567890.5e-99999,"status":1,"body":""})", "ok"},
      {R"({"x":"\udc00\ud800x","status":1,"body":""})", "ok"},
      {R"({"x":[1,{"a":[true,false,null,-0.5e+3,"\"",{}]}],"status":1,"body":""})", "ok"},
      {R"({"x":[1,],"status":1,"body":""})", "trailing comma at line 1 column 9"},
      {R"({"x":{"a":1,},"status":1,"body":""})", "trailing comma at line 1 column 13"},
      {R"({"x":{"a":1,2:1}})", "key must be a string at line 1 column 13"},
      {R"({"x":"\u12x4"})", "invalid escape at line 1 column 11"},
      {R"({"x":'a'})", "expected value at line 1 column 6"},
  };
  for (const auto& c : cases) EXPECT_EQ(failure_of<HttpResponse>(c.text), c.expected) << c.text;
}

TEST(JsonRecord, SkippingHasNoDepthLimit) {
  json::Arena arena;
  constexpr std::size_t depth = 10'000'000;
  std::string text = R"({"status":1,"body":"","deep":)";
  text.append(depth, '[');
  text.append(depth, ']');
  text += '}';
  EXPECT_EQ(failure_of<HttpResponse>(text), "ok");
  // Alternating objects and arrays, with the brackets checked all the way down.
  std::string mixed = R"({"status":1,"body":"","deep":)";
  for (int i = 0; i < 100000; ++i) mixed += R"({"a":[)";
  for (int i = 0; i < 100000; ++i) mixed += "]}";
  mixed += '}';
  EXPECT_EQ(failure_of<HttpResponse>(mixed), "ok");
  mixed[mixed.size() - 2] = ']';  // the outermost object closed by a bracket
  EXPECT_EQ(json::decode<HttpResponse>(mixed, arena).failure().message, "expected `,` or `}`");
}

TEST(JsonRecord, HostileNumbersAndMembers) {
  json::Arena arena;
  const std::string digits(1'000'000, '7');
  EXPECT_EQ(
      json::decode<HttpResponse>(R"({"body":"","status":)" + digits + "}", arena).failure().message,
      "number out of range");
  EXPECT_EQ(json::decode<HttpResponse>(
                R"({"body":"","status":0.)" + std::string(1'000'000, '0') + "1}", arena)
                .failure()
                .message,
            "invalid type: floating point `0.0`, expected u16");
  EXPECT_EQ(json::decode<HttpResponse>(R"({"body":"","status":1.)" + digits + "}", arena)
                .failure()
                .message,
            "invalid type: floating point `1.7777777777777777`, expected u16");
  EXPECT_EQ(json::decode<Config>(R"({"client_id":-)" + digits + "}", arena).failure().message,
            "invalid type: number, expected a string");
  std::string many = "{";
  for (int i = 0; i < 1'000'000; ++i) many += R"("m":[1,"x"],)";
  many += R"("status":1,"body":""})";
  EXPECT_EQ(failure_of<HttpResponse>(many), "ok");
}

TEST(JsonRecord, ToValueUsesTheTable) {
  json::Arena arena;
  HttpRequest request{Method::POST, "https://h/x", {{"X-B", "2"}, {"X-A", "1"}}, std::nullopt};
  EXPECT_EQ(json::to_text(json::to_value(request)),
            R"({"body":null,"headers":{"X-A":"1","X-B":"2"},"method":"POST","url":"https://h/x"})");
  request.body = "";
  request.headers.clear();
  EXPECT_EQ(json::to_text(json::to_value(request)),
            R"({"body":"","headers":{},"method":"POST","url":"https://h/x"})");

  const AccessToken token{"a\"b", "Bearer", -5, std::nullopt};
  const std::string text = json::to_text(json::to_value(token));
  EXPECT_EQ(text, R"({"access_token":"a\"b","expires_at":-5,"scope":null,"token_type":"Bearer"})");
  auto back = json::decode<AccessToken>(text, arena);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value(), token);
}

}  // namespace
}  // namespace json_record_test
