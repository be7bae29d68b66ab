// The core's one reader and writer of UTF-8: the JSON reader decodes \u
// escapes with it, the decode messages quote input with it, and the text
// helpers count and trim characters with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon_bo_core::utf8 {

// The character of `text` at `i` if it is well-formed UTF-8 (no overlong
// forms, no surrogates, nothing above U+10FFFF): its code point and length;
// length 0 for a byte that starts no such character.
struct Char {
  std::uint32_t cp;
  std::size_t length;
};
Char next(std::string_view text, std::size_t i);

// Writes the UTF-8 form of `cp` (one to four bytes) at `to`; the end of it.
char* put(std::uint32_t cp, char* to);

// U+FFFD, which stands in a message for each byte that is not part of a
// well-formed character.
inline constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// Input text shown in a message: well-formed UTF-8 is kept, every other byte
// becomes U+FFFD, so a message is always valid UTF-8 whatever the input was.
std::string shown(std::string_view text);

}  // namespace quillon_bo_core::utf8
