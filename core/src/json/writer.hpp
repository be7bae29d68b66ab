// The compact JSON writer of the result envelope: no white space, members in
// their sorted order, and exactly these escapes in strings: \" \\ \b \t \n
// \f \r, and \u00xx (lowercase) for every other byte below 0x20. The slash,
// 0x7F and all non-ASCII bytes are written as they are.
#pragma once

#include <string>
#include <string_view>

#include "json/value.hpp"

namespace quillon_bo_core::json {

// Appends `value` as compact JSON text.
void write(const Value& value, std::string& out);
std::string to_text(const Value& value);
// Appends `text` as a quoted JSON string.
void write_string(std::string_view text, std::string& out);

}  // namespace quillon_bo_core::json
