// The call boundary, the envelope, the error objects and the compact writer.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "core_ops.hpp"
#include "error.hpp"
#include "ffi.hpp"
#include "json.hpp"
#include "runtime.hpp"

namespace qb = quillon_bo_core;
using qb::json::Value;

namespace {

std::string text(const Value& v) { return qb::json::to_text(v); }

std::string core_call(std::string_view op, std::string_view payload = "") {
  return qb::ffi::call(qb::CoreOps{}, op, payload);
}

TEST(Writer, EscapesExactlyQuoteBackslashAndControlBytes) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string(1, '\0'), R"("\u0000")"},
      {"\x01\x0b\x0e\x1f", R"("\u0001\u000b\u000e\u001f")"},
      {"/", R"("/")"},
      {"\x7f", "\"\x7f\""},
      {"\xc3\xa9 \xf0\x9f\x98\x80", "\"\xc3\xa9 \xf0\x9f\x98\x80\""},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"", R"("")"},
  };
  for (const auto& c : cases) EXPECT_EQ(text(Value(c.in)), c.out) << c.out;
}

TEST(Writer, EveryByteBelow0x20HasItsEscape) {
  const char* named[] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, "\\b",   "\\t",   "\\n",   nullptr, "\\f",   "\\r"};
  for (int c = 0; c < 0x20; ++c) {
    char expected[8];
    if (c < 14 && named[c] != nullptr) {
      std::snprintf(expected, sizeof expected, "%s", named[c]);
    } else {
      std::snprintf(expected, sizeof expected, "\\u%04x", c);
    }
    EXPECT_EQ(text(Value(std::string(1, static_cast<char>(c)))),
              "\"" + std::string(expected) + "\"");
  }
}

TEST(Writer, ObjectsSortByBytesAtEveryLevelAndPutReplaces) {
  qb::json::Object inner;
  inner.put("b", Value::integer(2));
  inner.put("a", "x");
  inner.put("\xc3\xa9", true);  // non-ASCII sorts after ASCII
  inner.put("Z", nullptr);      // capitals before small letters
  qb::json::Object outer;
  outer.put("zz", qb::json::Array{Value(std::move(inner)), Value(qb::json::Object{})});
  outer.put("z", false);
  outer.put("z", qb::json::Array{});  // replaces
  outer.put("ab", Value::integer(-7));
  outer.put("a", Value::unsigned_integer(18446744073709551615u));
  EXPECT_EQ(text(Value(std::move(outer))),
            R"({"a":18446744073709551615,"ab":-7,"z":[],"zz":[{"Z":null,"a":"x","b":2,)"
            "\"\xc3\xa9\":true},{}]}");
}

TEST(Writer, FromMembersSortsAndKeepsTheLastOfRepeatedNames) {
  std::vector<qb::json::Member> members;
  members.push_back({"b", Value::integer(1)});
  members.push_back({"a", Value::integer(2)});
  members.push_back({"b", Value::integer(3)});
  members.push_back({"a", Value::integer(4)});
  EXPECT_EQ(text(Value(qb::json::Object::from_members(std::move(members)))), R"({"a":4,"b":3})");
}

TEST(Errors, WrittenWithTheirOwnMembersOnly) {
  using E = qb::Error;
  struct Case {
    E error;
    std::string json;
    bool retryable;
  };
  const Case cases[] = {
      {E::validation("client_id", "must not be empty"),
       R"({"field":"client_id","kind":"validation","message":"must not be empty"})", false},
      {E{E::Authentication{401, "A"}}, R"({"kind":"authentication","message":"A","status":401})",
       false},
      {E{E::Authentication{0, ""}}, R"({"kind":"authentication","message":"","status":0})", false},
      {E{E::Api{503, "M", {{"F", "G", std::nullopt}}, true}},
       R"({"errors":[{"code":null,"field":"F","message":"G"}],"kind":"api","message":"M","retryable":true,"status":503})",
       true},
      {E{E::Api{500, "M", {}, false}},
       R"({"errors":[],"kind":"api","message":"M","retryable":false,"status":500})", false},
      {E{E::Api{65535, "", {{std::nullopt, "m", "c"}}, true}},
       R"({"errors":[{"code":"c","field":null,"message":"m"}],"kind":"api","message":"","retryable":true,"status":65535})",
       true},
      {E{E::Ambiguous{"M", {}}}, R"({"errors":[],"kind":"ambiguous","message":"M"})", false},
      {E{E::Decode{"d"}}, R"({"kind":"decode","message":"d"})", false},
      {E{E::WebhookAuth{"w"}}, R"({"kind":"webhook_auth","message":"w"})", false},
      {E{E::Ffi{"f\"\n"}}, R"({"kind":"ffi","message":"f\"\n"})", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text(c.error.to_value()), c.json);
    EXPECT_EQ(c.error.retryable(), c.retryable) << c.json;
  }
}

TEST(Call, IntrospectionIgnoresThePayload) {
  for (std::string_view payload : {"", "{", "not json", "\xff"}) {
    EXPECT_EQ(core_call("version", payload),
              R"({"ok":true,"value":{"core":"0.1.0","protocol":2}})");
    EXPECT_EQ(core_call("describe", payload),
              R"({"ok":true,"value":[{"idempotent":true,"kind":"operation","name":"token"}]})");
  }
}

TEST(Call, OnlyVersionHasAFixedAnswerAndItIsTheCallsAnswer) {
  // A binding answers a fixed op without calling; both ways must agree.
  EXPECT_EQ(qb::ffi::fixed_answer("version"), core_call("version", "{"));
  for (std::string_view op : {"describe", "Version", "version ", "", "token.build"}) {
    EXPECT_EQ(qb::ffi::fixed_answer(op), std::nullopt) << op;
  }
}

TEST(Call, UnknownNamesAreReportedExactlyAsReceived) {
  struct Case {
    std::string op, message;
  };
  const Case cases[] = {
      {"", "unknown operation ``"},
      {"Version", "unknown operation `Version`"},
      {" version", "unknown operation ` version`"},
      {"describe ", "unknown operation `describe `"},
      {"token", "unknown operation `token`"},
      {"tokens.build", "unknown operation `tokens.build`"},
      {"Token.build", "unknown operation `Token.build`"},
      {"q\"\\\x1f/\xc3\xa9", "unknown operation `q\\\"\\\\\\u001f/\xc3\xa9`"},
      {std::string("nul\0l", 5), "unknown operation `nul\\u0000l`"},
      {"token.", "unknown stage `` for `token`"},
      {"token.Build", "unknown stage `Build` for `token`"},
      {"token.build.x", "unknown stage `build.x` for `token`"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(core_call(c.op), R"({"error":{"kind":"ffi","message":")" + c.message +
                                   R"(","retryable":false},"ok":false})");
  }
}

TEST(StageOf, ClaimsOnlyTheOperationFollowedByADot) {
  EXPECT_EQ(qb::stage_of("token", "token.build"), "build");
  EXPECT_EQ(qb::stage_of("token", "token."), "");
  EXPECT_EQ(qb::stage_of("token", "token.a.b"), "a.b");
  EXPECT_FALSE(qb::stage_of("token", "token"));
  EXPECT_FALSE(qb::stage_of("token", "tokenX"));
  EXPECT_FALSE(qb::stage_of("token", "toke"));
  EXPECT_FALSE(qb::stage_of("token", ""));
}

// A registry whose operations misbehave in the ways the fault trap must catch.
class FaultyOps final : public qb::Registry {
 public:
  std::optional<qb::Outcome> dispatch(std::string_view op, std::string_view) const override {
    if (op == "assert") QB_ASSERT(op.empty());
    if (op == "throw") throw std::runtime_error("boom");
    if (op == "throw-int") throw 42;
    if (op == "api") return qb::Error{qb::Error::Api{429, "slow down", {}, true}};
    if (op == "value") return Value(qb::json::Array{Value("x"), Value(nullptr)});
    if (op == "no-retry") {
      // An error object that already carries a "retryable" member is rewritten.
      return qb::Error{qb::Error::Api{500, "m", {}, false}};
    }
    return std::nullopt;
  }
  std::vector<qb::OpInfo> operations() const override {
    return {qb::OpInfo{qb::OpInfo::Operation{"a", false, 30}},
            qb::OpInfo{qb::OpInfo::Handler{"h"}}};
  }
};

TEST(Call, FaultsBecomeFfiErrorsAndAReportOnStandardError) {
  for (std::string op : {"assert", "throw", "throw-int"}) {
    testing::internal::CaptureStderr();
    const std::string result = qb::ffi::call(FaultyOps{}, op, "");
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, R"({"error":{"kind":"ffi","message":"core panicked while handling `)" + op +
                          R"(`","retryable":false},"ok":false})");
    EXPECT_NE(report.find("thread"), std::string::npos) << report;
    EXPECT_EQ(result.find("boom"), std::string::npos);
  }
  testing::internal::CaptureStderr();
  qb::ffi::call(FaultyOps{}, "assert", "");
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("ffi_test.cpp:"), std::string::npos) << report;
  EXPECT_NE(report.find("assertion failed: op.empty()"), std::string::npos) << report;
  // The trap leaves nothing behind: the next call is a first call.
  EXPECT_EQ(qb::ffi::call(FaultyOps{}, "value", ""), R"({"ok":true,"value":["x",null]})");
}

TEST(Call, EnvelopeFormsAndRetryable) {
  const FaultyOps ops;
  EXPECT_EQ(
      qb::ffi::call(ops, "api", ""),
      R"({"error":{"errors":[],"kind":"api","message":"slow down","retryable":true,"status":429},"ok":false})");
  EXPECT_EQ(
      qb::ffi::call(ops, "no-retry", ""),
      R"({"error":{"errors":[],"kind":"api","message":"m","retryable":false,"status":500},"ok":false})");
  EXPECT_EQ(
      qb::ffi::call(ops, "describe", ""),
      R"({"ok":true,"value":[{"idempotent":false,"kind":"operation","name":"a","timeout_secs":30},{"kind":"handler","name":"h"}]})");
  EXPECT_EQ(
      qb::ffi::call(ops, "nothing", ""),
      R"({"error":{"kind":"ffi","message":"unknown operation `nothing`","retryable":false},"ok":false})");
}

}  // namespace
