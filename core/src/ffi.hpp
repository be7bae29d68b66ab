// The call boundary: operation name and JSON payload in, result envelope out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "config.hpp"
#include "http.hpp"
#include "json.hpp"
#include "operation.hpp"
#include "token.hpp"

namespace quillon_bo_core {

// The core's version constants, shared by "version" and the Python module.
inline constexpr std::string_view core_version = QB_VERSION;
inline constexpr int protocol_version = 2;

namespace ffi {

// Answers "describe" and "version", hands every other name to the registry,
// traps internal faults, and returns the envelope as compact JSON text:
// {"ok":true,"value":...} or {"error":{...,"retryable":...},"ok":false}.
// Never throws for a fault of the inner work; memory exhaustion aborts.
std::string call(const Registry& registry, std::string_view op, std::string_view payload);

// The payload of a build stage: the configuration, the caller's current token
// (null or absent: none) and the operation's input.
template <class Input>
struct Build {
  Config config;
  std::optional<AccessToken> token;
  Input input;
};

template <class Input>
constexpr auto record_table(json::Tag<Build<Input>>) {
  using B = Build<Input>;
  return json::record("Build", json::required("config", &B::config),
                      json::defaulted("token", &B::token), json::required("input", &B::input));
}

// The payload of a parse stage: the operation's input and the response received.
template <class Input>
struct Parse {
  Input input;
  HttpResponse response;
};

template <class Input>
constexpr auto record_table(json::Tag<Parse<Input>>) {
  using P = Parse<Input>;
  return json::record("Parse", json::required("input", &P::input),
                      json::required("response", &P::response));
}

// The failures of the stage runner itself.
Error unknown_stage(std::string_view stage, std::string_view operation);
Error invalid_payload(const json::Failure& failure, std::string_view payload);

// Runs one stage of the operation Op: checks the stage name, decodes the whole
// payload as the stage's payload record, calls the operation, and makes its
// record a JSON value. The operation's own errors pass through unchanged.
template <Operation Op>
Outcome run(std::string_view stage, std::string_view payload) {
  using Input = typename Op::Input;
  if (stage == "build") {
    auto decoded = json::decode<Build<Input>>(payload);
    if (!decoded) return invalid_payload(decoded.failure(), payload);
    const Build<Input>& build = decoded.value();
    const RequestContext context{build.config, build.token ? &*build.token : nullptr};
    Result<HttpRequest> request = Op::request(context, build.input);
    if (!request) return std::move(request).error();
    return std::move(request).value().to_value();
  }
  if (stage == "parse") {
    auto decoded = json::decode<Parse<Input>>(payload);
    if (!decoded) return invalid_payload(decoded.failure(), payload);
    const Parse<Input>& parse = decoded.value();
    auto result = Op::response(parse.response, parse.input);
    if (!result) return std::move(result).error();
    return std::move(result).value().to_value();
  }
  // The payload is not looked at for a stage that does not exist.
  return unknown_stage(stage, Op::name);
}

}  // namespace ffi
}  // namespace quillon_bo_core
