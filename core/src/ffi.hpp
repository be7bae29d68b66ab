// The call boundary: operation name and JSON payload in, result envelope out.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "access_token.hpp"
#include "config.hpp"
#include "http.hpp"
#include "json.hpp"
#include "operation.hpp"

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

// The version answer never changes: written once, at compile time, from the
// project's version (QB_VERSION, plain digits and dots: nothing to escape).
inline constexpr std::string_view version_envelope =
    R"({"ok":true,"value":{"core":")" QB_VERSION R"(","protocol":2}})";
static_assert(protocol_version == 2, "the version envelope spells out the protocol version");

// The envelope `call` gives for `op` whatever the payload, when that never
// changes ("version"); nullopt for every other op. A binding may answer such
// an op from the constant without a call, which then costs no allocation.
constexpr std::optional<std::string_view> fixed_answer(std::string_view op) {
  if (op == "version") return version_envelope;
  return std::nullopt;
}

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

// The opening of a success envelope, {"ok":true,"value":...}. The stage
// runner writes it before the value, so that the envelope is finished where
// the value was written.
inline constexpr std::string_view success_opening = R"({"ok":true,"value":)";

// Writes `record` as the value of a success envelope: one buffer, reserved
// once with room for what the envelope adds.
template <class T>
json::Text success_text(T&& record, std::size_t expected_size) {
  std::string out;
  out.reserve(success_opening.size() + expected_size + 1);
  out.append(success_opening);
  if constexpr (json::Record<std::remove_cvref_t<T>>) {
    json::encode(record, out);
  } else {
    json::write(std::forward<T>(record).to_value(), out);
  }
  return json::Text(std::move(out), success_opening.size());
}

// Runs one stage of the operation Op: checks the stage name, decodes the whole
// payload as the stage's payload record, calls the operation, and writes its
// record. The operation's own errors pass through unchanged.
template <Operation Op>
Outcome run(std::string_view stage, std::string_view payload) {
  using Input = typename Op::Input;
  // Most answers are about as long as the payload; a request adds its URL
  // and headers to the configuration it came from.
  const std::size_t expected_size = std::max<std::size_t>(payload.size(), 192) + 64;
  // What the stage decodes and works out borrows from the payload and from
  // here, and is gone when the stage ends.
  json::Arena arena;
  if (stage == "build") {
    auto decoded = json::decode<Build<Input>>(payload, arena);
    if (!decoded) return invalid_payload(decoded.failure(), payload);
    const Build<Input>& build = decoded.value();
    const RequestContext context{build.config, build.token ? &*build.token : nullptr, arena};
    Result<HttpRequest> request = Op::request(context, build.input);
    if (!request) return std::move(request).error();
    return success_text(request.value(), expected_size);
  }
  if (stage == "parse") {
    auto decoded = json::decode<Parse<Input>>(payload, arena);
    if (!decoded) return invalid_payload(decoded.failure(), payload);
    const Parse<Input>& parse = decoded.value();
    auto result = Op::response(parse.response, parse.input, arena);
    if (!result) return std::move(result).error();
    return success_text(std::move(result).value(), expected_size);
  }
  // The payload is not looked at for a stage that does not exist.
  return unknown_stage(stage, Op::name);
}

}  // namespace ffi
}  // namespace quillon_bo_core
