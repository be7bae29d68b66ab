#include "text.hpp"

#include <cstdint>

#include "utf8.hpp"

namespace quillon_bo_core::text {

namespace {

constexpr std::uint8_t byte(char c) { return static_cast<std::uint8_t>(c); }

// The byte length of the White_Space character that begins at `s[i]`, or 0.
std::size_t white_space_at(std::string_view s, std::size_t i) {
  const std::size_t left = s.size() - i;
  const std::uint8_t b0 = byte(s[i]);
  if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
  if (left >= 2 && b0 == 0xC2) {
    const std::uint8_t b1 = byte(s[i + 1]);
    return b1 == 0x85 || b1 == 0xA0 ? 2 : 0;
  }
  if (left < 3) return 0;
  const std::uint8_t b1 = byte(s[i + 1]);
  const std::uint8_t b2 = byte(s[i + 2]);
  switch (b0) {
    case 0xE1:  // U+1680
      return b1 == 0x9A && b2 == 0x80 ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
        return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
      }
      return b1 == 0x81 && b2 == 0x9F ? 3 : 0;  // U+205F
    case 0xE3:                                  // U+3000
      return b1 == 0x80 && b2 == 0x80 ? 3 : 0;
    default:
      return 0;
  }
}

// The byte length of the White_Space character that ends just before `end`, or 0.
// Every encoding above starts with a byte that can only begin a sequence, so a
// match found backwards is the same character a forward reading would find.
std::size_t white_space_before(std::string_view s, std::size_t end) {
  for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
    if (white_space_at(s.substr(0, end), end - len) == len) return len;
  }
  return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const std::size_t n = white_space_at(s, begin);
    if (n == 0) break;
    begin += n;
  }
  std::size_t end = s.size();
  while (end > begin) {
    const std::size_t n = white_space_before(s.substr(begin), end - begin);
    if (n == 0) break;
    end -= n;
  }
  return s.substr(begin, end - begin);
}

std::string_view first_characters(std::string_view s, std::size_t limit) {
  std::size_t i = 0;
  for (std::size_t count = 0; count < limit && i < s.size(); ++count) {
    const std::size_t n = utf8::next(s, i).length;
    i += n == 0 ? 1 : n;
  }
  return s.substr(0, i);
}

}  // namespace quillon_bo_core::text
