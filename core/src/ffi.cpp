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

json::Value envelope(Outcome outcome) {
  json::Object o;
  if (outcome.ok()) {
    o.put("ok", true);
    o.put("value", std::move(outcome).value());
    return o;
  }
  const Error& e = outcome.error();
  json::Value error = e.to_value();
  error.get_if<json::Object>()->put("retryable", e.retryable());
  o.put("ok", false);
  o.put("error", std::move(error));
  return o;
}

}  // namespace

std::string call(const Registry& registry, std::string_view op, std::string_view payload) {
  return json::to_text(envelope(trapped(registry, op, payload)));
}

}  // namespace quillon_bo_core::ffi
