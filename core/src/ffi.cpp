#include "ffi.hpp"

#include "runtime.hpp"

namespace quillon_bo_core::ffi {

namespace {

json::Value version_value() {
  json::Object o;
  o.put("core", core_version);
  o.put("protocol", json::Value::integer(protocol_version));
  return o;
}

Outcome inner_work(const Registry& registry, std::string_view op, std::string_view payload) {
  if (op == "describe") {
    json::Array list;
    for (const auto& info : registry.operations()) list.push_back(info.to_value());
    return json::Value(std::move(list));
  }
  if (op == "version") return version_value();
  if (auto outcome = registry.dispatch(op, payload)) return std::move(*outcome);
  return Error{Error::Ffi{"unknown operation `" + std::string(op) + "`"}};
}

Outcome trapped(const Registry& registry, std::string_view op, std::string_view payload) {
  try {
    return inner_work(registry, op, payload);
  } catch (...) {
    // Whatever the inner work built has been released by unwinding; only the
    // report and a fixed message remain.
    runtime::report_current_fault();
  }
  return Error{Error::Ffi{"core panicked while handling `" + std::string(op) + "`"}};
}

// The envelope is {"ok":true,"value":V} or {"error":E,"ok":false}; both member
// orders are already the sorted ones, so it is written around the inner value
// directly instead of being built as an object first.
std::string envelope_text(Outcome outcome) {
  std::string out;
  out.reserve(256);  // most envelopes fit; saves the early regrowths
  if (outcome.ok()) {
    out = R"({"ok":true,"value":)";
    json::write(outcome.value(), out);
    out += '}';
    return out;
  }
  const Error& e = outcome.error();
  json::Value error = e.to_value();
  error.get_if<json::Object>()->put("retryable", e.retryable());
  out = R"({"error":)";
  json::write(error, out);
  out += R"(,"ok":false})";
  return out;
}

}  // namespace

Error unknown_stage(std::string_view stage, std::string_view operation) {
  std::string message;
  message.reserve(32 + stage.size() + operation.size());
  message.append("unknown stage `").append(stage).append("` for `").append(operation).append("`");
  return Error{Error::Ffi{std::move(message)}};
}

Error invalid_payload(const json::Failure& failure, std::string_view payload) {
  return Error{Error::Ffi{"invalid payload: " + failure.to_text(payload)}};
}

std::string call(const Registry& registry, std::string_view op, std::string_view payload) {
  return envelope_text(trapped(registry, op, payload));
}

}  // namespace quillon_bo_core::ffi
