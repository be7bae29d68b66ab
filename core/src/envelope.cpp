#include "envelope.hpp"

#include <array>

#include "text.hpp"

namespace quillon_bo_core::envelope {

namespace {

constexpr std::array<std::string_view, 3> message_members = {"error_description", "message",
                                                             "error"};
constexpr std::size_t raw_text_limit = 200;

}  // namespace

std::optional<std::string> text_field(const json::Value& value,
                                      std::span<const std::string_view> names) {
  const auto* object = value.get_if<json::Object>();
  if (!object) return std::nullopt;
  for (std::string_view name : names) {
    const json::Value* member = object->find(name);
    if (!member) continue;
    const auto* s = member->get_if<std::string>();
    if (!s) continue;
    std::string_view trimmed = text::trim_white_space(*s);
    if (!trimmed.empty()) return std::string(trimmed);
  }
  return std::nullopt;
}

std::string message_from_body(std::string_view body) {
  // The parse error itself is of no interest: an unreadable body falls back to its raw text.
  if (auto parsed = json::parse(body); parsed.ok()) {
    if (auto message = text_field(parsed.value(), message_members)) return std::move(*message);
  }
  std::string_view trimmed = text::trim_white_space(body);
  if (trimmed.empty()) return "empty response body";
  return std::string(text::first_characters(trimmed, raw_text_limit));
}

}  // namespace quillon_bo_core::envelope
