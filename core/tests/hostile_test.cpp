// Bytes that Python can never send (ill-formed UTF-8) still give one envelope,
// with no crash and no undefined behaviour (the sanitizer builds run this).
#include <gtest/gtest.h>

#include <string>

#include "core_ops.hpp"
#include "ffi.hpp"
#include "json.hpp"

namespace qb = quillon_bo_core;

namespace {

const std::string ill_formed[] = {
    "\xff",
    "\x80",
    "\xc3",
    "\xe2\x82",
    "\xf0\x9f\x98",
    "\xc0\xaf",
    "\xed\xa0\x80",
    "\xf4\x90\x80\x80",
    "a\xfe"
    "b",
};

std::string envelope_kind(const std::string& result) {
  auto parsed = qb::json::parse(result);
  EXPECT_TRUE(parsed.ok()) << result;
  if (!parsed.ok()) return "";
  const auto& envelope = *parsed.value().get_if<qb::json::Object>();
  if (*envelope.find("ok")->get_if<bool>()) return "ok";
  return *envelope.find("error")->get_if<qb::json::Object>()->find("kind")->get_if<std::string>();
}

TEST(IllFormedUtf8, EveryPlaceGivesAnEnvelope) {
  const qb::CoreOps ops;
  for (const auto& bad : ill_formed) {
    const std::string config = R"({"client_id":")" + bad + R"(","client_secret":")" + bad + "\"}";
    const std::string body =
        R"({\"access_token\":\")" + bad + R"(\",\"scope\":\")" + bad + R"(\"})";
    struct Case {
      std::string op, payload, kind;
    };
    const Case cases[] = {
        {bad, "", "ffi"},
        {"token." + bad, "", "ffi"},
        {"token.build", bad, "ffi"},
        {"token.build", R"({"config":)" + config + R"(,"input":{"now":1}})", "ok"},
        {"token.build",
         R"({"config":{"client_id":"x","environment":")" + bad + R"("},"input":[1]})", "ffi"},
        {"token.parse", R"({"input":[1],"response":{"status":200,"body":")" + body + "\"}}", "ok"},
        {"token.parse",
         R"({"input":[1],"response":{"status":401,"body":")" + std::string(300, 'x') + bad + "\"}}",
         "authentication"},
        {"token.parse", R"({"input":[1],"response":{"status":)" + bad + "}}", "ffi"},
        {"token.parse", R"({"input":[1],"response":{"status":")" + bad + R"(","body":""}})", "ffi"},
    };
    for (const auto& c : cases) {
      EXPECT_EQ(envelope_kind(qb::ffi::call(ops, c.op, c.payload)), c.kind)
          << c.op << " " << c.payload;
    }
  }
}

}  // namespace
