#include "ffi.hpp"

#include "runtime.hpp"

namespace quillon_bo_core::ffi {

namespace {

Outcome inner_work(const Registry& registry, std::string_view op, std::string_view payload) {
  if (op == "describe") {
    json::Array list;
    for (const auto& info : registry.operations()) list.push_back(info.to_value());
    return json::Text(json::Value(std::move(list)));
  }
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
// directly instead of being built as an object first. A value written by the
// stage runner already has the success opening before it.
std::string envelope_text(Outcome outcome) {
  std::string out;
  if (outcome.ok()) {
    json::Text& value = outcome.value();
    std::string& buffer = value.buffer();
    if (value.offset() == success_opening.size() &&
        std::string_view(buffer).starts_with(success_opening)) {
      buffer += '}';
      return std::move(buffer);
    }
    const std::string_view text = value.text();
    out.reserve(success_opening.size() + text.size() + 1);
    out.append(success_opening).append(text).append(1, '}');
    return out;
  }
  const Error& e = outcome.error();
  json::Value error = e.to_value();
  error.get_if<json::Object>()->put("retryable", e.retryable());
  out.reserve(256);
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
  // Answered before the trap: nothing can fault here.
  if (auto fixed = fixed_answer(op)) return std::string(*fixed);
  return envelope_text(trapped(registry, op, payload));
}

}  // namespace quillon_bo_core::ffi
