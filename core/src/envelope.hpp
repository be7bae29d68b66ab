// Drawing one readable message out of a gateway error body, whatever its shape.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json.hpp"

namespace quillon_bo_core::envelope {

// The trimmed text of the first member of `value` named in `names` (in the
// order of `names`) whose value is a string that is not blank. Only the
// members of `value` itself are looked at, and only when it is an object.
std::optional<std::string> text_field(const json::Value& value,
                                      std::span<const std::string_view> names);

// The message of an error body: its "error_description", "message" or
// "error" member when the whole body is one JSON value that has one, else the
// trimmed body cut to 200 characters, else "empty response body". Never empty.
std::string message_from_body(std::string_view body);

}  // namespace quillon_bo_core::envelope
