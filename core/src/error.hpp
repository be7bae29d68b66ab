// The one error type of the core and the result type that carries it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json.hpp"

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

// Either a value or an Error: the return type of every fallible core function.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : storage_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return storage_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  Error& error() & { return std::get<1>(storage_); }
  const Error& error() const& { return std::get<1>(storage_); }
  Error&& error() && { return std::get<1>(std::move(storage_)); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Error> storage_;
};

}  // namespace quillon_bo_core
