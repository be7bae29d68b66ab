// The stage runner against an operation other than the token one: what it
// hands to the operation (the current token, the decoded input) and which
// names its messages carry, none of which the token operation shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "ffi.hpp"
#include "json.hpp"
#include "operation.hpp"

namespace quillon_bo_core {
namespace {

struct ProbeInput {
  std::uint16_t count = 0;
};

constexpr auto record_table(json::Tag<ProbeInput>) {
  return json::record("ProbeInput", json::required("count", &ProbeInput::count));
}

struct ProbeResult {
  std::string seen;
  json::Value to_value() && { return json::Value(std::move(seen)); }
};

// Reports what it was given, so the runner's hand-over is visible.
struct Probe {
  static constexpr std::string_view name = "probe";
  static constexpr bool idempotent = false;
  static constexpr std::optional<std::uint32_t> timeout_secs = 30;
  using Input = ProbeInput;
  using Output = ProbeResult;

  static Result<HttpRequest> request(const RequestContext& context, const ProbeInput& input) {
    if (input.count == 0) return Error::validation("count", "must not be zero");
    HttpRequest request;
    request.method = Method::PATCH;
    request.url = context.config.url("items", context.arena);
    request.headers.put("X-Count", context.arena.copy(std::to_string(input.count)));
    request.headers.put("X-Token", context.token ? context.token->access_token : "none");
    request.body = "";
    return request;
  }
  static Result<ProbeResult> response(const HttpResponse& response, const ProbeInput& input,
                                      json::Arena& /*arena*/) {
    if (response.status == 500) return Error{Error::Decode{"refused"}};
    return ProbeResult{std::to_string(response.status) + "/" + std::string(response.body) + "/" +
                       std::to_string(input.count)};
  }
};

static_assert(Operation<Probe>);

std::string run(std::string_view stage, std::string_view payload) {
  Outcome outcome = ffi::run<Probe>(stage, payload);
  return outcome.ok() ? json::to_text(outcome.value()) : json::to_text(outcome.error().to_value());
}

constexpr std::string_view config = R"({"client_id":"c","base_url":"http://127.0.0.1:9"})";

std::string build(std::string_view token, std::string_view input) {
  std::string payload = R"({"config":)" + std::string(config);
  if (!token.empty()) payload += R"(,"token":)" + std::string(token);
  return payload + R"(,"input":)" + std::string(input) + "}";
}

TEST(StageRunner, BuildHandsOverConfigTokenAndInput) {
  const std::string token = R"({"access_token":"A","token_type":"T","expires_at":1,"scope":null})";
  const std::string request =
      R"({"body":"","headers":{"X-Count":"%","X-Token":"#"},"method":"PATCH","url":"http://127.0.0.1:9/items"})";
  auto expect = [&](std::string count, std::string seen_token) {
    std::string out = request;
    out.replace(out.find('%'), 1, count);
    out.replace(out.find('#'), 1, seen_token);
    return out;
  };
  EXPECT_EQ(run("build", build("", R"({"count":7})")), expect("7", "none"));
  EXPECT_EQ(run("build", build("null", "[8]")), expect("8", "none"));
  EXPECT_EQ(run("build", build(token, R"({"count":9})")), expect("9", "A"));
}

TEST(StageRunner, ParseHandsOverResponseAndInput) {
  EXPECT_EQ(run("parse", R"({"input":{"count":3},"response":{"status":204,"body":"b"}})"),
            R"("204/b/3")");
  EXPECT_EQ(run("parse", R"([[4],[0,""]])"), R"("0//4")");
}

TEST(StageRunner, OperationErrorsPassThroughUnchanged) {
  EXPECT_EQ(run("build", build("", "[0]")),
            R"({"field":"count","kind":"validation","message":"must not be zero"})");
  EXPECT_EQ(run("parse", R"([[1],[500,""]])"), R"({"kind":"decode","message":"refused"})");
}

TEST(StageRunner, MessagesNameTheOperationAndItsRecords) {
  struct Case {
    std::string_view stage, payload, message;
  };
  const Case cases[] = {
      {"Build", "{}", "unknown stage `Build` for `probe`"},
      {"", "not json", "unknown stage `` for `probe`"},
      {"parse.x", "", "unknown stage `parse.x` for `probe`"},
      {"build", R"({"config":{"client_id":"c"},"input":[]})",
       "invalid payload: invalid length 0, expected struct ProbeInput with 1 element at line 1 "
       "column 38"},
      {"build", R"({"config":{"client_id":"c"},"input":{"count":-1}})",
       "invalid payload: invalid value: integer `-1`, expected u16 at line 1 column 47"},
      {"parse", R"({"input":5})",
       "invalid payload: invalid type: integer `5`, expected struct ProbeInput at line 1 column "
       "10"},
      {"parse", "[]",
       "invalid payload: invalid length 0, expected struct Parse with 2 elements at line 1 column "
       "2"},
  };
  for (const Case& c : cases) {
    const std::string expected = R"({"kind":"ffi","message":")" + std::string(c.message) + R"("})";
    EXPECT_EQ(run(c.stage, c.payload), expected) << c.stage << " " << c.payload;
  }
}

TEST(StageRunner, DescribesAnOperationFromItsType) {
  EXPECT_EQ(json::to_text(info_of<Probe>().to_value()),
            R"({"idempotent":false,"kind":"operation","name":"probe","timeout_secs":30})");
}

}  // namespace
}  // namespace quillon_bo_core
