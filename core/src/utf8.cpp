#include "utf8.hpp"

namespace quillon_bo_core::utf8 {

Char next(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return {b0, 1};
  std::size_t length = 0;
  std::uint32_t cp = 0;
  std::uint32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return {0, 0};
  }
  if (text.size() - i < length) return {0, 0};
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return {0, 0};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
  return {cp, length};
}

char* put(std::uint32_t cp, char* to) {
  if (cp < 0x80) {
    *to++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *to++ = static_cast<char>(0xC0 | (cp >> 6));
    *to++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *to++ = static_cast<char>(0xE0 | (cp >> 12));
    *to++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *to++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *to++ = static_cast<char>(0xF0 | (cp >> 18));
    *to++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *to++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *to++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return to;
}

std::string shown(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Char c = next(text, i);
    if (c.length == 0) {
      out += replacement_character;
      ++i;
    } else {
      out.append(text.data() + i, c.length);
      i += c.length;
    }
  }
  return out;
}

}  // namespace quillon_bo_core::utf8
