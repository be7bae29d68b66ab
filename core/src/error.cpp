#include "error.hpp"

namespace quillon_bo_core {

namespace {

struct KindName {
  std::string_view operator()(const Error::Validation&) const { return "validation"; }
  std::string_view operator()(const Error::Authentication&) const { return "authentication"; }
  std::string_view operator()(const Error::Api&) const { return "api"; }
  std::string_view operator()(const Error::Ambiguous&) const { return "ambiguous"; }
  std::string_view operator()(const Error::Decode&) const { return "decode"; }
  std::string_view operator()(const Error::WebhookAuth&) const { return "webhook_auth"; }
  std::string_view operator()(const Error::Ffi&) const { return "ffi"; }
};

}  // namespace

std::string_view Error::kind() const { return std::visit(KindName{}, detail); }

bool Error::retryable() const {
  const auto* api = std::get_if<Api>(&detail);
  return api != nullptr && api->retryable;
}

json::Value Error::to_value() const {
  json::Value value = std::visit([](const auto& k) { return json::to_value(k); }, detail);
  value.get_if<json::Object>()->put("kind", kind());
  return value;
}

}  // namespace quillon_bo_core
