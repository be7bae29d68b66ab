#include "error.hpp"

namespace quillon_bo_core {

namespace {

json::Value optional_text(const std::optional<std::string>& text) {
  return text ? json::Value(*text) : json::Value(nullptr);
}

json::Value field_errors(const std::vector<ApiFieldError>& errors) {
  json::Array items;
  items.reserve(errors.size());
  for (const auto& e : errors) items.push_back(e.to_value());
  return items;
}

struct KindName {
  std::string_view operator()(const Error::Validation&) const { return "validation"; }
  std::string_view operator()(const Error::Authentication&) const { return "authentication"; }
  std::string_view operator()(const Error::Api&) const { return "api"; }
  std::string_view operator()(const Error::Ambiguous&) const { return "ambiguous"; }
  std::string_view operator()(const Error::Decode&) const { return "decode"; }
  std::string_view operator()(const Error::WebhookAuth&) const { return "webhook_auth"; }
  std::string_view operator()(const Error::Ffi&) const { return "ffi"; }
};

// Puts the kind's own members; "kind" itself is added by the caller.
struct KindMembers {
  json::Object& o;

  void operator()(const Error::Validation& e) const {
    o.put("field", e.field);
    o.put("message", e.message);
  }
  void operator()(const Error::Authentication& e) const {
    o.put("status", json::Value::unsigned_integer(e.status));
    o.put("message", e.message);
  }
  void operator()(const Error::Api& e) const {
    o.put("status", json::Value::unsigned_integer(e.status));
    o.put("message", e.message);
    o.put("errors", field_errors(e.errors));
    o.put("retryable", e.retryable);
  }
  void operator()(const Error::Ambiguous& e) const {
    o.put("message", e.message);
    o.put("errors", field_errors(e.errors));
  }
  void operator()(const Error::Decode& e) const { o.put("message", e.message); }
  void operator()(const Error::WebhookAuth& e) const { o.put("message", e.message); }
  void operator()(const Error::Ffi& e) const { o.put("message", e.message); }
};

}  // namespace

json::Value ApiFieldError::to_value() const {
  json::Object o;
  o.put("field", optional_text(field));
  o.put("message", message);
  o.put("code", optional_text(code));
  return o;
}

std::string_view Error::kind() const { return std::visit(KindName{}, detail); }

bool Error::retryable() const {
  const auto* api = std::get_if<Api>(&detail);
  return api != nullptr && api->retryable;
}

json::Value Error::to_value() const {
  json::Object o;
  o.put("kind", kind());
  std::visit(KindMembers{o}, detail);
  return o;
}

}  // namespace quillon_bo_core
