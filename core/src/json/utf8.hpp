// UTF-8 as the reader needs it: decoding one character, encoding a code
// point, and showing arbitrary input bytes in a message as valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon_bo_core::json::detail {

// The next character of `text` at `i` if it is well-formed UTF-8 (no
// overlong forms, no surrogates, nothing above U+10FFFF): its code point and
// length; length 0 for a byte that starts no such character.
struct Utf8Char {
  std::uint32_t cp;
  std::size_t length;
};
Utf8Char next_utf8(std::string_view text, std::size_t i);

// Writes the UTF-8 form of `cp` (one to four bytes) at `to`; the end of it.
char* put_utf8(std::uint32_t cp, char* to);

// U+FFFD, which stands in a message for each byte that is not part of a
// well-formed character.
inline constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// Input text shown in a message: well-formed UTF-8 is kept, every other byte
// becomes U+FFFD, so a message is always valid UTF-8 whatever the input was.
std::string shown(std::string_view text);

// Whether the quoted string of a message shows the code point as \u{h}:
// controls, format characters, unassigned code points, combining marks,
// private use, and separators other than the plain space.
bool is_unprintable(std::uint32_t cp);

}  // namespace quillon_bo_core::json::detail
