// The one error type of the core; Result<T> (result.hpp) carries it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json.hpp"
#include "result.hpp"

namespace quillon_bo_core {

// A field-level error reported by the remote side.
struct ApiFieldError {
  std::optional<std::string> field;
  std::string message;
  std::optional<std::string> code;

  json::Value to_value() const { return json::to_value(*this); }
};

constexpr auto record_table(json::Tag<ApiFieldError>) {
  return json::record("ApiFieldError", json::optional("field", &ApiFieldError::field),
                      json::required("message", &ApiFieldError::message),
                      json::optional("code", &ApiFieldError::code));
}

struct Error {
  struct Validation {
    std::string field;
    std::string message;
  };
  struct Authentication {
    std::uint16_t status = 0;
    std::string message;
  };
  struct Api {
    std::uint16_t status = 0;
    std::string message;
    std::vector<ApiFieldError> errors;
    bool retryable = false;
  };
  struct Ambiguous {
    std::string message;
    std::vector<ApiFieldError> errors;
  };
  struct Decode {
    std::string message;
  };
  struct WebhookAuth {
    std::string message;
  };
  struct Ffi {
    std::string message;
  };

  std::variant<Validation, Authentication, Api, Ambiguous, Decode, WebhookAuth, Ffi> detail;

  static Error validation(std::string_view field, std::string_view message) {
    return Error{Validation{std::string(field), std::string(message)}};
  }

  // The wire name of the kind: "validation", ..., "webhook_auth", "ffi".
  std::string_view kind() const;
  // Only an "api" error with its own flag set may be retried.
  bool retryable() const;
  // The error object with "kind" and the kind's own members (by the tables
  // below), no "retryable" except the api kind's own.
  json::Value to_value() const;
};

// The members of each kind; "kind" itself is added by Error::to_value.
constexpr auto record_table(json::Tag<Error::Validation>) {
  using K = Error::Validation;
  return json::record("Validation", json::required("field", &K::field),
                      json::required("message", &K::message));
}
constexpr auto record_table(json::Tag<Error::Authentication>) {
  using K = Error::Authentication;
  return json::record("Authentication", json::required("status", &K::status),
                      json::required("message", &K::message));
}
constexpr auto record_table(json::Tag<Error::Api>) {
  using K = Error::Api;
  return json::record("Api", json::required("status", &K::status),
                      json::required("message", &K::message), json::required("errors", &K::errors),
                      json::required("retryable", &K::retryable));
}
constexpr auto record_table(json::Tag<Error::Ambiguous>) {
  using K = Error::Ambiguous;
  return json::record("Ambiguous", json::required("message", &K::message),
                      json::required("errors", &K::errors));
}
constexpr auto record_table(json::Tag<Error::Decode>) {
  return json::record("Decode", json::required("message", &Error::Decode::message));
}
constexpr auto record_table(json::Tag<Error::WebhookAuth>) {
  return json::record("WebhookAuth", json::required("message", &Error::WebhookAuth::message));
}
constexpr auto record_table(json::Tag<Error::Ffi>) {
  return json::record("Ffi", json::required("message", &Error::Ffi::message));
}

}  // namespace quillon_bo_core
