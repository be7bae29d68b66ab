// The compact JSON writer of the result envelope: no white space, members in
// their sorted order, and exactly these escapes in strings: \" \\ \b \t \n
// \f \r, and \u00xx (lowercase) for every other byte below 0x20. The slash,
// 0x7F and all non-ASCII bytes are written as they are.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "json/value.hpp"

namespace quillon_bo_core::json {

// Appends `value` as compact JSON text.
void write(const Value& value, std::string& out);
std::string to_text(const Value& value);
// Appends `text` as a quoted JSON string.
void write_string(std::string_view text, std::string& out);

// A JSON value already written as compact text: the end of `buffer` from
// `offset` on. The bytes before it are room that the writer of an enclosing
// text (the result envelope) fills with its own opening, so that the value is
// never copied.
class Text {
 public:
  explicit Text(const Value& value) { write(value, buffer_); }
  Text(std::string buffer, std::size_t offset) : buffer_(std::move(buffer)), offset_(offset) {}

  std::string_view text() const { return std::string_view(buffer_).substr(offset_); }
  std::size_t offset() const { return offset_; }
  std::string& buffer() { return buffer_; }

 private:
  std::string buffer_;
  std::size_t offset_ = 0;
};

inline std::string to_text(const Text& text) { return std::string(text.text()); }

}  // namespace quillon_bo_core::json
