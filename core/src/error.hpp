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

  json::Value to_value() const;
};

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
  // The error object with "kind" and the kind's own members, no "retryable"
  // except the api kind's own.
  json::Value to_value() const;
};

}  // namespace quillon_bo_core
