#include "json.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillon_bo_core::json {

namespace {

bool name_less(const Member& m, std::string_view name) { return std::string_view(m.name) < name; }

// The bytes that end a run of plain string content: the quote, the backslash
// and 0x00..0x1F. The same set is what the writer must escape.
constexpr bool is_string_stop(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// The first string stop in [p, end), or end. Sixteen bytes at a time where
// the text allows it; never reads past `end`.
const char* find_string_stop(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  auto stops = [&](const char* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    // v <= 0x1F (unsigned) exactly when min(v, 0x1F) == v.
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, control), v);
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), low);
  };
  while (end - p >= 32) {
    const __m128i a = stops(p);
    const __m128i b = stops(p + 16);
    const int mask_a = _mm_movemask_epi8(a);
    const int mask_b = _mm_movemask_epi8(b);
    if ((mask_a | mask_b) != 0) {
      return mask_a != 0 ? p + __builtin_ctz(static_cast<unsigned>(mask_a))
                         : p + 16 + __builtin_ctz(static_cast<unsigned>(mask_b));
    }
    p += 32;
  }
  if (end - p >= 16) {
    const int mask = _mm_movemask_epi8(stops(p));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p < end && !is_string_stop(static_cast<unsigned char>(*p))) ++p;
  return p;
}

void write_escape(unsigned char c, std::string& out) {
  static constexpr char hex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\r':
      out += "\\r";
      return;
    default: {
      const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
      out.append(esc, sizeof esc);
    }
  }
}

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

constexpr int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What a backslash followed by the byte makes: 1 a one-letter escape, 2 the
// start of \u, 0 no escape. And which bytes are hex digits. Tables, so that
// skipping an escape takes no unpredictable branch.
struct ByteTables {
  unsigned char escape[256] = {};
  unsigned char hex[256] = {};
};
constexpr ByteTables byte_tables = [] {
  ByteTables t;
  for (unsigned char c : {'"', '\\', '/', 'b', 'f', 'n', 'r', 't'}) t.escape[c] = 1;
  t.escape['u'] = 2;
  for (int c = 0; c < 256; ++c) t.hex[c] = hex_value(static_cast<unsigned char>(c)) >= 0 ? 1 : 0;
  return t;
}();

void append_utf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {
        static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

// The next character of `text` at `i` if it is well-formed UTF-8 (no
// overlong forms, no surrogates, nothing above U+10FFFF): its code point and
// length; length 0 for a byte that starts no such character.
struct Utf8Char {
  std::uint32_t cp;
  std::size_t length;
};

Utf8Char next_utf8(std::string_view text, std::size_t i) {
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

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// Input text shown in a message: well-formed UTF-8 is kept, every byte that
// is not part of a well-formed character becomes U+FFFD, so a message is
// always valid UTF-8 whatever the input was.
std::string shown(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = next_utf8(text, i);
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

// Characters written as \u{h} in a quoted message text: controls, format
// characters, combining marks, private use, and separators other than the
// plain space. Sorted, inclusive ranges.
struct CodeRange {
  std::uint32_t first;
  std::uint32_t last;
};
// clang-format off
constexpr CodeRange unprintable[] = {
    {0x0, 0x1F}, {0x7F, 0xA0}, {0xAD, 0xAD}, {0x300, 0x36F}, {0x483, 0x489}, {0x591, 0x5BD},
    {0x5BF, 0x5BF}, {0x5C1, 0x5C2}, {0x5C4, 0x5C5}, {0x5C7, 0x5C7}, {0x600, 0x605}, {0x610, 0x61A},
    {0x61C, 0x61C}, {0x64B, 0x65F}, {0x670, 0x670}, {0x6D6, 0x6DD}, {0x6DF, 0x6E4}, {0x6E7, 0x6E8},
    {0x6EA, 0x6ED}, {0x70F, 0x70F}, {0x711, 0x711}, {0x730, 0x74A}, {0x7A6, 0x7B0}, {0x7EB, 0x7F3},
    {0x7FD, 0x7FD}, {0x816, 0x819}, {0x81B, 0x823}, {0x825, 0x827}, {0x829, 0x82D}, {0x859, 0x85B},
    {0x890, 0x891}, {0x898, 0x89F}, {0x8CA, 0x903}, {0x93A, 0x93C}, {0x93E, 0x94F}, {0x951, 0x957},
    {0x962, 0x963}, {0x981, 0x983}, {0x9BC, 0x9BC}, {0x9BE, 0x9C4}, {0x9C7, 0x9C8}, {0x9CB, 0x9CD},
    {0x9D7, 0x9D7}, {0x9E2, 0x9E3}, {0x9FE, 0x9FE}, {0xA01, 0xA03}, {0xA3C, 0xA3C}, {0xA3E, 0xA42},
    {0xA47, 0xA48}, {0xA4B, 0xA4D}, {0xA51, 0xA51}, {0xA70, 0xA71}, {0xA75, 0xA75}, {0xA81, 0xA83},
    {0xABC, 0xABC}, {0xABE, 0xAC5}, {0xAC7, 0xAC9}, {0xACB, 0xACD}, {0xAE2, 0xAE3}, {0xAFA, 0xAFF},
    {0xB01, 0xB03}, {0xB3C, 0xB3C}, {0xB3E, 0xB44}, {0xB47, 0xB48}, {0xB4B, 0xB4D}, {0xB55, 0xB57},
    {0xB62, 0xB63}, {0xB82, 0xB82}, {0xBBE, 0xBC2}, {0xBC6, 0xBC8}, {0xBCA, 0xBCD}, {0xBD7, 0xBD7},
    {0xC00, 0xC04}, {0xC3C, 0xC3C}, {0xC3E, 0xC44}, {0xC46, 0xC48}, {0xC4A, 0xC4D}, {0xC55, 0xC56},
    {0xC62, 0xC63}, {0xC81, 0xC83}, {0xCBC, 0xCBC}, {0xCBE, 0xCC4}, {0xCC6, 0xCC8}, {0xCCA, 0xCCD},
    {0xCD5, 0xCD6}, {0xCE2, 0xCE3}, {0xD00, 0xD03}, {0xD3B, 0xD3C}, {0xD3E, 0xD44}, {0xD46, 0xD48},
    {0xD4A, 0xD4D}, {0xD57, 0xD57}, {0xD62, 0xD63}, {0xD81, 0xD83}, {0xDCA, 0xDCA}, {0xDCF, 0xDD4},
    {0xDD6, 0xDD6}, {0xDD8, 0xDDF}, {0xDF2, 0xDF3}, {0xE31, 0xE31}, {0xE34, 0xE3A}, {0xE47, 0xE4E},
    {0xEB1, 0xEB1}, {0xEB4, 0xEBC}, {0xEC8, 0xECD}, {0xF18, 0xF19}, {0xF35, 0xF35}, {0xF37, 0xF37},
    {0xF39, 0xF39}, {0xF3E, 0xF3F}, {0xF71, 0xF84}, {0xF86, 0xF87}, {0xF8D, 0xF97}, {0xF99, 0xFBC},
    {0xFC6, 0xFC6}, {0x102B, 0x103E}, {0x1056, 0x1059}, {0x105E, 0x1060}, {0x1062, 0x1064},
    {0x1067, 0x106D}, {0x1071, 0x1074}, {0x1082, 0x108D}, {0x108F, 0x108F}, {0x109A, 0x109D},
    {0x135D, 0x135F}, {0x1680, 0x1680}, {0x1712, 0x1715}, {0x1732, 0x1734}, {0x1752, 0x1753},
    {0x1772, 0x1773}, {0x17B4, 0x17D3}, {0x17DD, 0x17DD}, {0x180B, 0x180F}, {0x1885, 0x1886},
    {0x18A9, 0x18A9}, {0x1920, 0x192B}, {0x1930, 0x193B}, {0x1A17, 0x1A1B}, {0x1A55, 0x1A5E},
    {0x1A60, 0x1A7C}, {0x1A7F, 0x1A7F}, {0x1AB0, 0x1ACE}, {0x1B00, 0x1B04}, {0x1B34, 0x1B44},
    {0x1B6B, 0x1B73}, {0x1B80, 0x1B82}, {0x1BA1, 0x1BAD}, {0x1BE6, 0x1BF3}, {0x1C24, 0x1C37},
    {0x1CD0, 0x1CD2}, {0x1CD4, 0x1CE8}, {0x1CED, 0x1CED}, {0x1CF4, 0x1CF4}, {0x1CF7, 0x1CF9},
    {0x1DC0, 0x1DFF}, {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x2064}, {0x2066, 0x206F},
    {0x20D0, 0x20F0}, {0x2CEF, 0x2CF1}, {0x2D7F, 0x2D7F}, {0x2DE0, 0x2DFF}, {0x3000, 0x3000},
    {0x302A, 0x302F}, {0x3099, 0x309A}, {0xA66F, 0xA672}, {0xA674, 0xA67D}, {0xA69E, 0xA69F},
    {0xA6F0, 0xA6F1}, {0xA802, 0xA802}, {0xA806, 0xA806}, {0xA80B, 0xA80B}, {0xA823, 0xA827},
    {0xA82C, 0xA82C}, {0xA880, 0xA881}, {0xA8B4, 0xA8C5}, {0xA8E0, 0xA8F1}, {0xA8FF, 0xA8FF},
    {0xA926, 0xA92D}, {0xA947, 0xA953}, {0xA980, 0xA983}, {0xA9B3, 0xA9C0}, {0xA9E5, 0xA9E5},
    {0xAA29, 0xAA36}, {0xAA43, 0xAA43}, {0xAA4C, 0xAA4D}, {0xAA7B, 0xAA7D}, {0xAAB0, 0xAAB0},
    {0xAAB2, 0xAAB4}, {0xAAB7, 0xAAB8}, {0xAABE, 0xAABF}, {0xAAC1, 0xAAC1}, {0xAAEB, 0xAAEF},
    {0xAAF5, 0xAAF6}, {0xABE3, 0xABEA}, {0xABEC, 0xABED}, {0xE000, 0xF8FF}, {0xFB1E, 0xFB1E},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0x101FD, 0x101FD},
    {0x102E0, 0x102E0}, {0x10376, 0x1037A}, {0x10A01, 0x10A03}, {0x10A05, 0x10A06},
    {0x10A0C, 0x10A0F}, {0x10A38, 0x10A3A}, {0x10A3F, 0x10A3F}, {0x10AE5, 0x10AE6},
    {0x10D24, 0x10D27}, {0x10EAB, 0x10EAC}, {0x10F46, 0x10F50}, {0x10F82, 0x10F85},
    {0x11000, 0x11002}, {0x11038, 0x11046}, {0x11070, 0x11070}, {0x11073, 0x11074},
    {0x1107F, 0x11082}, {0x110B0, 0x110BA}, {0x110BD, 0x110BD}, {0x110C2, 0x110C2},
    {0x110CD, 0x110CD}, {0x11100, 0x11102}, {0x11127, 0x11134}, {0x11145, 0x11146},
    {0x11173, 0x11173}, {0x11180, 0x11182}, {0x111B3, 0x111C0}, {0x111C9, 0x111CC},
    {0x111CE, 0x111CF}, {0x1122C, 0x11237}, {0x1123E, 0x1123E}, {0x112DF, 0x112EA},
    {0x11300, 0x11303}, {0x1133B, 0x1133C}, {0x1133E, 0x11344}, {0x11347, 0x11348},
    {0x1134B, 0x1134D}, {0x11357, 0x11357}, {0x11362, 0x11363}, {0x11366, 0x1136C},
    {0x11370, 0x11374}, {0x11435, 0x11446}, {0x1145E, 0x1145E}, {0x114B0, 0x114C3},
    {0x115AF, 0x115B5}, {0x115B8, 0x115C0}, {0x115DC, 0x115DD}, {0x11630, 0x11640},
    {0x116AB, 0x116B7}, {0x1171D, 0x1172B}, {0x1182C, 0x1183A}, {0x11930, 0x11935},
    {0x11937, 0x11938}, {0x1193B, 0x1193E}, {0x11940, 0x11940}, {0x11942, 0x11943},
    {0x119D1, 0x119D7}, {0x119DA, 0x119E0}, {0x119E4, 0x119E4}, {0x11A01, 0x11A0A},
    {0x11A33, 0x11A39}, {0x11A3B, 0x11A3E}, {0x11A47, 0x11A47}, {0x11A51, 0x11A5B},
    {0x11A8A, 0x11A99}, {0x11C2F, 0x11C36}, {0x11C38, 0x11C3F}, {0x11C92, 0x11CA7},
    {0x11CA9, 0x11CB6}, {0x11D31, 0x11D36}, {0x11D3A, 0x11D3A}, {0x11D3C, 0x11D3D},
    {0x11D3F, 0x11D45}, {0x11D47, 0x11D47}, {0x11D8A, 0x11D8E}, {0x11D90, 0x11D91},
    {0x11D93, 0x11D97}, {0x11EF3, 0x11EF6}, {0x13430, 0x13438}, {0x16AF0, 0x16AF4},
    {0x16B30, 0x16B36}, {0x16F4F, 0x16F4F}, {0x16F51, 0x16F87}, {0x16F8F, 0x16F92},
    {0x16FE4, 0x16FE4}, {0x16FF0, 0x16FF1}, {0x1BC9D, 0x1BC9E}, {0x1BCA0, 0x1BCA3},
    {0x1CF00, 0x1CF2D}, {0x1CF30, 0x1CF46}, {0x1D165, 0x1D169}, {0x1D16D, 0x1D182},
    {0x1D185, 0x1D18B}, {0x1D1AA, 0x1D1AD}, {0x1D242, 0x1D244}, {0x1DA00, 0x1DA36},
    {0x1DA3B, 0x1DA6C}, {0x1DA75, 0x1DA75}, {0x1DA84, 0x1DA84}, {0x1DA9B, 0x1DA9F},
    {0x1DAA1, 0x1DAAF}, {0x1E000, 0x1E006}, {0x1E008, 0x1E018}, {0x1E01B, 0x1E021},
    {0x1E023, 0x1E024}, {0x1E026, 0x1E02A}, {0x1E130, 0x1E136}, {0x1E2AE, 0x1E2AE},
    {0x1E2EC, 0x1E2EF}, {0x1E8D0, 0x1E8D6}, {0x1E944, 0x1E94A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}, {0xE0100, 0xE01EF}, {0xF0000, 0xFFFFD}, {0x100000, 0x10FFFD},
};
// clang-format on

bool is_unprintable(std::uint32_t cp) {
  const auto* it =
      std::upper_bound(std::begin(unprintable), std::end(unprintable), cp,
                       [](std::uint32_t c, const CodeRange& r) { return c < r.first; });
  return it != std::begin(unprintable) && cp <= std::prev(it)->last;
}

// A decoded string as the found-value slot of a message shows it: in double
// quotes, with \" \\ \n \r \t \0, \u{h} for the characters above, and every
// other character as it is.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = next_utf8(text, i);
    if (c.length == 0) {
      out += replacement_character;
      ++i;
      continue;
    }
    switch (c.cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (is_unprintable(c.cp)) {
          char hex[8];
          const auto r = std::to_chars(hex, hex + sizeof hex, c.cp, 16);
          out += "\\u{";
          out.append(hex, r.ptr);
          out += '}';
        } else {
          out.append(text.data() + i, c.length);
        }
    }
    i += c.length;
  }
  out += '"';
  return out;
}

// The float text of messages: the shortest decimal that reads back as `d`,
// plain for decimal exponents -5..15 (with ".0" on integral values),
// scientific otherwise.
std::string float_text(double d) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  // sci is [-]d[.ddd]e(+|-)XX
  std::string out;
  std::size_t i = 0;
  if (sci[0] == '-') {
    out += '-';
    i = 1;
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (std::size_t k = i; k < e; ++k) {
    if (sci[k] != '.') digits += sci[k];
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  if (d == 0) {
    out += "0.0";
  } else if (exponent >= -5 && exponent <= 15) {
    if (exponent >= 0) {
      const auto integral = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= integral) {
        out += digits;
        out.append(integral - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, integral);
        out += '.';
        out.append(digits, integral);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    out += std::to_string(exponent < 0 ? -exponent : exponent);
  }
  return out;
}

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string allowed_names(const std::string_view* names, std::size_t count) {
  std::string out;
  if (count == 0) return "there are no variants";
  if (count == 1) return "`" + std::string(names[0]) + "`";
  if (count == 2) return "`" + std::string(names[0]) + "` or `" + std::string(names[1]) + "`";
  out = "one of ";
  for (std::size_t i = 0; i < count; ++i) {
    if (i) out += ", ";
    out += '`';
    out += names[i];
    out += '`';
  }
  return out;
}

// The digits of a plain integer as an unsigned 64-bit magnitude, if they fit.
bool magnitude_of(std::string_view digits, std::uint64_t& magnitude) {
  if (digits.size() > 20) return false;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  return r.ec == std::errc() && r.ptr == digits.data() + digits.size();
}

}  // namespace

Object Object::from_members(std::vector<Member> members) {
  Object object;
  // Text this system wrote is sorted already: then one pass is all it takes.
  if (std::adjacent_find(members.begin(), members.end(), [](const Member& a, const Member& b) {
        return !(a.name < b.name);
      }) == members.end()) {
    object.members_ = std::move(members);
    return object;
  }
  // Stable sort keeps repeated names in input order, so the last of each run wins.
  std::stable_sort(members.begin(), members.end(),
                   [](const Member& a, const Member& b) { return a.name < b.name; });
  object.members_.reserve(members.size());
  for (auto& m : members) {
    if (!object.members_.empty() && object.members_.back().name == m.name) {
      object.members_.back().value = std::move(m.value);
    } else {
      object.members_.push_back(std::move(m));
    }
  }
  return object;
}

void Object::put(std::string name, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), std::string_view(name), name_less);
  if (it != members_.end() && it->name == name) {
    it->value = std::move(value);
  } else {
    members_.insert(it, Member{std::move(name), std::move(value)});
  }
}

const Value* Object::find(std::string_view name) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), name, name_less);
  return it != members_.end() && it->name == name ? &it->value : nullptr;
}

void write_string(std::string_view text, std::string& out) {
  out += '"';
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    const char* stop = find_string_stop(p, end);
    out.append(p, static_cast<std::size_t>(stop - p));
    if (stop == end) break;
    write_escape(static_cast<unsigned char>(*stop), out);
    p = stop + 1;
  }
  out += '"';
}

namespace {

struct Writer {
  std::string& out;

  void operator()(std::nullptr_t) const { out += "null"; }
  void operator()(bool b) const { out += b ? "true" : "false"; }
  void operator()(const Number& n) const { out += n.text; }
  void operator()(const std::string& s) const { write_string(s, out); }
  void operator()(const Array& a) const {
    out += '[';
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (i) out += ',';
      std::visit(*this, a[i].storage());
    }
    out += ']';
  }
  void operator()(const Object& o) const {
    out += '{';
    bool first = true;
    for (const auto& m : o) {
      if (!first) out += ',';
      first = false;
      write_string(m.name, out);
      out += ':';
      std::visit(*this, m.value.storage());
    }
    out += '}';
  }
};

}  // namespace

void write(const Value& value, std::string& out) { std::visit(Writer{out}, value.storage()); }

std::string to_text(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

// ---------------------------------------------------------------------------
// Reading

std::string Failure::to_text(std::string_view text) const {
  const std::size_t at = std::min(offset, text.size());
  const std::size_t last_feed = text.substr(0, at).rfind('\n');
  const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
  const auto feeds =
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(line_start), '\n');
  return message + " at line " + std::to_string(feeds + 1) + " column " +
         std::to_string(at - line_start);
}

Decoded<Value> parse(std::string_view text) {
  detail::Reader reader(text);
  Value value;
  if (reader.read_value(value) && reader.finish()) return Decoded<Value>(std::move(value));
  return Decoded<Value>(reader.take_failure());
}

namespace detail {

// Where a number's parts lie in the text; the number is [start, end).
struct Reader::NumberScan {
  const char* start = nullptr;
  const char* end = nullptr;
  bool negative = false;
  bool integer = true;  // no fraction, no exponent
  const char* int_begin = nullptr;
  const char* int_end = nullptr;
  const char* frac_begin = nullptr;
  const char* frac_end = nullptr;
  const char* exp_begin = nullptr;  // the exponent's digits, after any sign
  bool exp_negative = false;
};

namespace {

enum class Magnitude { zero, finite, overflow };

// The double nearest to a scanned number, with the overflow case told apart
// from underflow (which reads as a signed zero).
template <class Scan>
Magnitude to_double(const Scan& s, double& d) {
  // The decimal exponent of the first significant digit decides the cases
  // that no double can hold, so a huge exponent or a million digits costs a
  // single pass.
  std::int64_t exponent = 0;
  if (s.exp_begin != nullptr) {
    for (const char* p = s.exp_begin; p < s.end && exponent < 1'000'000'000; ++p) {
      exponent = exponent * 10 + (*p - '0');
    }
    if (s.exp_negative) exponent = -exponent;
  }
  const char* first = s.int_begin;
  while (first < s.int_end && *first == '0') ++first;
  std::int64_t lead = 0;
  if (first < s.int_end) {
    lead = (s.int_end - first) - 1;
  } else {
    first = s.frac_begin;
    while (first != nullptr && first < s.frac_end && *first == '0') ++first;
    if (first == nullptr || first == s.frac_end) {
      d = s.negative ? -0.0 : 0.0;
      return Magnitude::zero;
    }
    lead = -(first - s.frac_begin) - 1;
  }
  const std::int64_t e10 = lead + exponent;
  if (e10 > 400) return Magnitude::overflow;
  if (e10 < -400) {
    d = s.negative ? -0.0 : 0.0;
    return Magnitude::finite;
  }
  const auto r = std::from_chars(s.start, s.end, d);
  if (r.ec == std::errc::result_out_of_range) {
    if (e10 >= 0) return Magnitude::overflow;
    d = s.negative ? -0.0 : 0.0;
  }
  return Magnitude::finite;
}

}  // namespace

bool Reader::fail_at(const char* at, std::string message) {
  if (at > end_) at = end_;
  failure_ = Failure{std::move(message), static_cast<std::size_t>(at - begin_)};
  return false;
}

bool Reader::finish() {
  if (peek() >= 0) return fail_peek("trailing characters");
  return true;
}

bool Reader::enter() {
  if (--budget_ == 0) return fail_peek("recursion limit exceeded");
  ++cur_;
  return true;
}

// The scanners below take the position to start at and give the position
// after what they read, or nullptr once they have recorded a failure. The
// skipping loop keeps its cursor in a register that way.

// At the first letter of true, false or null; `word` is the whole literal.
[[gnu::always_inline]] inline const char* Reader::literal(const char* p, const char* word) {
  ++p;
  for (const char* w = word + 1; *w != '\0'; ++w) {
    if (p == end_) return fail_at(end_, "EOF while parsing a value"), nullptr;
    if (*p != *w) return fail_at(p + 1, "expected ident"), nullptr;
    ++p;
  }
  return p;
}

// At '-' or a digit: checks the syntax and notes where the parts are. A
// number cut short by the end of the text needs more value.
[[gnu::always_inline]] inline const char* Reader::scan_number(const char* p, NumberScan& s) {
  const char* const end = end_;
  s.start = p;
  if (*p == '-') {
    s.negative = true;
    ++p;
  }
  if (p == end) return fail_at(end, "EOF while parsing a value"), nullptr;
  s.int_begin = p;
  if (*p == '0') {
    ++p;
    if (p < end && is_digit(*p)) return fail_at(p + 1, "invalid number"), nullptr;
  } else if (is_digit(*p)) {
    ++p;
    while (p < end && is_digit(*p)) ++p;
  } else {
    return fail_at(p + 1, "invalid number"), nullptr;
  }
  s.int_end = p;
  if (p < end && *p == '.') {
    s.integer = false;
    ++p;
    if (p == end) return fail_at(end, "EOF while parsing a value"), nullptr;
    if (!is_digit(*p)) return fail_at(p + 1, "invalid number"), nullptr;
    s.frac_begin = p;
    while (p < end && is_digit(*p)) ++p;
    s.frac_end = p;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    s.integer = false;
    ++p;
    if (p < end && (*p == '+' || *p == '-')) {
      s.exp_negative = *p == '-';
      ++p;
    }
    if (p == end) return fail_at(end, "EOF while parsing a value"), nullptr;
    if (!is_digit(*p)) return fail_at(p + 1, "invalid number"), nullptr;
    s.exp_begin = p;
    while (p < end && is_digit(*p)) ++p;
  }
  s.end = p;
  return p;
}

// Four hex digits of a \u escape.
[[gnu::always_inline]] inline const char* Reader::hex4(const char* p, unsigned& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (p == end_) return fail_at(end_, "EOF while parsing a string"), nullptr;
    const int h = hex_value(static_cast<unsigned char>(*p));
    if (h < 0) return fail_at(p + 1, "invalid escape"), nullptr;
    value = value * 16 + static_cast<unsigned>(h);
    ++p;
  }
  return p;
}

// One escape of a skipped string, at the byte after the backslash: the
// position after it, or nullptr.
[[gnu::always_inline]] inline const char* Reader::skip_escape(const char* p) {
  if (p == end_) return fail_at(end_, "EOF while parsing a string"), nullptr;
  switch (*p++) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return p;
    case 'u': {
      unsigned ignored = 0;
      return hex4(p, ignored);
    }
    default:
      return fail_at(p, "invalid escape"), nullptr;
  }
}

// Just after the opening quote; takes the rest of the string. \u escapes
// need four hex digits but no pairing: nothing is made of them. Sixteen bytes
// are looked at together, and every escape inside them is checked from the
// same masks, so a string with many escapes costs no more loads than one
// without.
[[gnu::always_inline]] inline const char* Reader::skip_string(const char* p) {
  const char* const end = end_;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, control), v);
    unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), low)));
    const char* next = p + 16;
    while (stops != 0) {
      const unsigned i = static_cast<unsigned>(__builtin_ctz(stops));
      const char c = p[i];
      if (c == '"') return p + i + 1;
      if (c != '\\') {
        fail_at(p + i + 1, "control character (\\u0000-\\u001F) found while parsing a string");
        return nullptr;
      }
      // A backslash. An escape that runs past this block is taken on its own.
      if (i + 6 > 16) {
        next = skip_escape(p + i + 1);
        if (next == nullptr) return nullptr;
        break;
      }
      // All six bytes of the longest escape lie in this block: look them up
      // and drop the escape's own bytes from the stops.
      const unsigned char* e = reinterpret_cast<const unsigned char*>(p + i + 1);
      const unsigned kind = byte_tables.escape[e[0]];
      if (kind == 1) {
        stops &= ~((4u << i) - 1);
      } else if (kind == 2 && (byte_tables.hex[e[1]] & byte_tables.hex[e[2]] &
                               byte_tables.hex[e[3]] & byte_tables.hex[e[4]]) != 0) {
        stops &= ~((64u << i) - 1);
      } else {
        // Not an escape after all: the byte-wise step records the fault.
        const char* after = skip_escape(p + i + 1);
        if (after == nullptr) return nullptr;
        stops &= ~((2u << (after - p - 1)) - 1);
      }
    }
    p = next;
  }
#endif
  for (;;) {
    while (p < end && !is_string_stop(static_cast<unsigned char>(*p))) ++p;
    if (p == end) return fail_at(end, "EOF while parsing a string"), nullptr;
    const char c = *p;
    if (c == '"') return p + 1;
    if (c != '\\') {
      fail_at(p + 1, "control character (\\u0000-\\u001F) found while parsing a string");
      return nullptr;
    }
    p = skip_escape(p + 1);
    if (p == nullptr) return nullptr;
  }
}

// Just after the opening quote; appends the decoded string to `out`.
bool Reader::decode_string(std::string& out) {
  for (;;) {
    const char* stop = find_string_stop(cur_, end_);
    out.append(cur_, static_cast<std::size_t>(stop - cur_));
    cur_ = stop;
    if (cur_ == end_) return fail_at(end_, "EOF while parsing a string");
    const char c = *cur_;
    if (c == '"') {
      ++cur_;
      return true;
    }
    if (c != '\\')
      return fail_peek("control character (\\u0000-\\u001F) found while parsing a string");
    ++cur_;
    if (cur_ == end_) return fail_at(end_, "EOF while parsing a string");
    switch (*cur_++) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        unsigned unit = 0;
        cur_ = hex4(cur_, unit);
        if (cur_ == nullptr) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
          return fail_here("lone leading surrogate in hex escape");
        }
        std::uint32_t cp = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          if (cur_ == end_) return fail_at(end_, "EOF while parsing a string");
          if (*cur_ != '\\') return fail_peek("unexpected end of hex escape");
          ++cur_;
          if (cur_ == end_) return fail_at(end_, "EOF while parsing a string");
          if (*cur_ != 'u') return fail_peek("unexpected end of hex escape");
          ++cur_;
          unsigned trail = 0;
          cur_ = hex4(cur_, trail);
          if (cur_ == nullptr) return false;
          if (trail < 0xDC00 || trail > 0xDFFF) {
            return fail_here("lone leading surrogate in hex escape");
          }
          cp = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
        }
        append_utf8(cp, out);
        break;
      }
      default:
        return fail_here("invalid escape");
    }
  }
}

bool Reader::read_name(std::string_view& name) {
  const char* start = ++cur_;
  const char* stop = find_string_stop(start, end_);
  if (stop < end_ && *stop == '"') {
    name = std::string_view(start, static_cast<std::size_t>(stop - start));
    cur_ = stop + 1;
    return true;
  }
  scratch_.clear();
  if (!decode_string(scratch_)) return false;
  name = scratch_;
  return true;
}

// Reads the value at the cursor, whatever it is, and fails with "invalid
// type: {found}, expected {expected}". An array or object is only looked at.
bool Reader::invalid_type(std::string_view expected) {
  std::string found;
  switch (peek()) {
    case -1:
      return fail_peek("EOF while parsing a value");
    case 'n':
      if (!take(literal(cur_, "null"))) return false;
      found = "null";
      break;
    case 't':
      if (!take(literal(cur_, "true"))) return false;
      found = "boolean `true`";
      break;
    case 'f':
      if (!take(literal(cur_, "false"))) return false;
      found = "boolean `false`";
      break;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      NumberScan s;
      if (!take(scan_number(cur_, s))) return false;
      const std::string_view digits(s.int_begin, static_cast<std::size_t>(s.int_end - s.int_begin));
      std::uint64_t magnitude = 0;
      const bool in_range = s.integer && magnitude_of(digits, magnitude) &&
                            (!s.negative || magnitude <= std::uint64_t{1} << 63);
      if (in_range) {
        found = "integer `";
        if (s.negative && magnitude != 0) found += '-';
        found += digits;
        found += '`';
      } else {
        found = "number";
      }
      break;
    }
    case '"': {
      ++cur_;
      scratch_.clear();
      if (!decode_string(scratch_)) return false;
      found = "string " + quoted(scratch_);
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default:
      return fail_peek("expected value");
  }
  return fail_here("invalid type: " + found + ", expected " + std::string(expected));
}

bool Reader::read_text(std::string& out) {
  if (peek() != '"') return invalid_type("a string");
  ++cur_;
  out.clear();
  return decode_string(out);
}

// An integer field: a plain integer within [min, max]; other integers are
// invalid values, other numbers floating point, other values invalid types.
bool Reader::read_integer(std::int64_t min, std::uint64_t max, std::string_view expected,
                          std::uint64_t& magnitude, bool& negative) {
  const int c = peek();
  if (c != '-' && !is_digit(c)) return invalid_type(expected);
  NumberScan s;
  if (!take(scan_number(cur_, s))) return false;
  negative = s.negative;
  if (s.integer) {
    const std::string_view digits(s.int_begin, static_cast<std::size_t>(s.int_end - s.int_begin));
    if (magnitude_of(digits, magnitude)) {
      if (!negative) {
        if (magnitude <= max) return true;
        return fail_here("invalid value: integer `" + std::string(digits) + "`, expected " +
                         std::string(expected));
      }
      // -0 is no integer here: it is the floating-point negative zero.
      if (magnitude != 0 && magnitude <= std::uint64_t{1} << 63) {
        if (min < 0 && magnitude <= static_cast<std::uint64_t>(-(min + 1)) + 1) return true;
        return fail_here("invalid value: integer `-" + std::string(digits) + "`, expected " +
                         std::string(expected));
      }
    }
  }
  double d = 0;
  if (to_double(s, d) == Magnitude::overflow) return fail_here("number out of range");
  return fail_here("invalid type: floating point `" + float_text(d) + "`, expected " +
                   std::string(expected));
}

bool Reader::read_u16(std::uint16_t& out) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  if (!read_integer(0, 65535, "u16", magnitude, negative)) return false;
  out = static_cast<std::uint16_t>(magnitude);
  return true;
}

bool Reader::read_i64(std::int64_t& out) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  if (!read_integer(std::numeric_limits<std::int64_t>::min(),
                    std::numeric_limits<std::int64_t>::max(), "i64", magnitude, negative)) {
    return false;
  }
  // Two's complement: the negation of the magnitude is the value, 2^63 included.
  out = static_cast<std::int64_t>(negative ? ~magnitude + 1 : magnitude);
  return true;
}

bool Reader::read_null(bool& was_null) {
  was_null = peek() == 'n';
  return !was_null || take(literal(cur_, "null"));
}

bool Reader::read_enum(const std::string_view* names, std::size_t count, std::size_t& index) {
  auto lookup = [&](std::string_view name) {
    for (index = 0; index < count; ++index) {
      if (names[index] == name) return true;
    }
    return fail_here("unknown variant `" + shown(name) + "`, expected " +
                     allowed_names(names, count));
  };
  const int c = peek();
  if (c == '"') {
    ++cur_;
    scratch_.clear();
    return decode_string(scratch_) && lookup(scratch_);
  }
  if (c != '{') {
    if (c == -1) return fail_peek("EOF while parsing a value");
    return fail_peek("expected value");
  }
  // {"name":null}
  if (!enter()) return false;
  switch (peek()) {
    case '"':
      break;
    case '}':
      return fail_peek("expected value");
    case -1:
      return fail_at(end_, "EOF while parsing an object");
    default:
      return fail_peek("key must be a string");
  }
  ++cur_;
  scratch_.clear();
  if (!decode_string(scratch_) || !lookup(scratch_) || !object_colon()) return false;
  if (peek() != 'n') return invalid_type("unit");
  if (!take(literal(cur_, "null"))) return false;
  leave();
  switch (peek()) {
    case '}':
      ++cur_;
      return true;
    case -1:
      return fail_at(end_, "EOF while parsing an object");
    default:
      // Positioned before the offending byte, unlike every other looked-at fault.
      return fail_here("expected value");
  }
}

bool Reader::object_first(bool& more) {
  switch (peek()) {
    case '}':
      ++cur_;
      more = false;
      return true;
    case '"':
      more = true;
      return true;
    case -1:
      return fail_at(end_, "EOF while parsing an object");
    default:
      return fail_peek("key must be a string");
  }
}

bool Reader::object_colon() {
  switch (peek()) {
    case ':':
      ++cur_;
      return true;
    case -1:
      return fail_at(end_, "EOF while parsing an object");
    default:
      return fail_peek("expected `:`");
  }
}

bool Reader::object_next(bool& more) {
  switch (peek()) {
    case ',':
      ++cur_;
      switch (peek()) {
        case '"':
          more = true;
          return true;
        case '}':
          return fail_peek("trailing comma");
        case -1:
          return fail_at(end_, "EOF while parsing a value");
        default:
          return fail_peek("key must be a string");
      }
    case '}':
      ++cur_;
      more = false;
      return true;
    case -1:
      return fail_at(end_, "EOF while parsing an object");
    default:
      return fail_peek("expected `,` or `}`");
  }
}

bool Reader::array_next(bool first, bool& more) {
  const int c = peek();
  if (c == ']') {
    ++cur_;
    more = false;
    return true;
  }
  if (c == -1) return fail_at(end_, "EOF while parsing a list");
  more = true;
  if (first) return true;
  if (c != ',') return fail_peek("expected `,` or `]`");
  ++cur_;
  switch (peek()) {
    case ']':
      return fail_peek("trailing comma");
    case -1:
      return fail_at(end_, "EOF while parsing a value");
    default:
      return true;
  }
}

bool Reader::array_end() {
  switch (peek()) {
    case ']':
      ++cur_;
      return true;
    case ',':
      ++cur_;
      switch (peek()) {
        case ']':
          return fail_peek("trailing comma");
        case -1:
          return fail_at(end_, "EOF while parsing a value");
        default:
          return fail_peek("trailing characters");
      }
    case -1:
      return fail_at(end_, "EOF while parsing a list");
    default:
      return fail_peek("trailing characters");
  }
}

bool Reader::not_a_record(std::string_view name) {
  return invalid_type("struct " + std::string(name));
}

bool Reader::missing_field(std::string_view name) {
  return fail_here("missing field `" + std::string(name) + "`");
}

bool Reader::duplicate_field(std::string_view name) {
  return fail_here("duplicate field `" + std::string(name) + "`");
}

bool Reader::invalid_length(std::size_t index, std::string_view name, std::size_t count) {
  return fail_here("invalid length " + std::to_string(index) + ", expected struct " +
                   std::string(name) + " with " + std::to_string(count) +
                   (count == 1 ? " element" : " elements"));
}

// A member name of a skipped object and its colon, at the opening quote.
[[gnu::always_inline]] inline const char* Reader::skip_name(const char* p) {
  p = skip_string(p + 1);
  if (p == nullptr) return nullptr;
  while (p < end_ && is_space(static_cast<unsigned char>(*p))) ++p;
  if (p < end_ && *p == ':') return p + 1;
  if (p == end_) return fail_at(end_, "EOF while parsing an object"), nullptr;
  return fail_at(p + 1, "expected `:`"), nullptr;
}

namespace {

// The open containers of a skipped value, one bit each (1 = object): the
// first 64 in a register, the rest in a vector that grows as deep as the
// text goes. `in_object` is the innermost one, kept at hand.
class OpenContainers {
 public:
  std::size_t depth() const { return depth_; }
  bool in_object() const { return in_object_; }
  void push(bool object) {
    const std::uint64_t bit = std::uint64_t{1} << (depth_ & 63);
    std::uint64_t& word = depth_ < 64 ? head_ : spilled(depth_);
    word = object ? word | bit : word & ~bit;
    ++depth_;
    in_object_ = object;
  }
  // Answers whether a container is still open.
  bool pop() {
    if (--depth_ == 0) return false;
    const std::size_t at = depth_ - 1;
    const std::uint64_t word = at < 64 ? head_ : spill_[(at >> 6) - 1];
    in_object_ = ((word >> (at & 63)) & 1) != 0;
    return true;
  }

 private:
  std::uint64_t& spilled(std::size_t at) {
    const std::size_t index = (at >> 6) - 1;
    if (spill_.size() <= index) spill_.push_back(0);
    return spill_[index];
  }
  std::uint64_t head_ = 0;
  std::vector<std::uint64_t> spill_;
  std::size_t depth_ = 0;
  bool in_object_ = false;
};

}  // namespace

// Skips a value without building anything and without recursion. The
// cursor lives in a local for the whole loop and goes back to cur_ at the end.
bool Reader::skip_value() {
  const char* p = cur_;
  const char* const end = end_;
  OpenContainers open;
  const auto space = [&] {
    while (p < end && is_space(static_cast<unsigned char>(*p))) ++p;
  };

  for (;;) {
    // A value must start here.
    space();
    if (p == end) return fail_at(end, "EOF while parsing a value");
    switch (*p) {
      case '"':
        p = skip_string(p + 1);
        if (p == nullptr) return false;
        break;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9': {
        NumberScan s;
        p = scan_number(p, s);
        if (p == nullptr) return false;
        break;
      }
      case 't':
        p = literal(p, "true");
        if (p == nullptr) return false;
        break;
      case 'f':
        p = literal(p, "false");
        if (p == nullptr) return false;
        break;
      case 'n':
        p = literal(p, "null");
        if (p == nullptr) return false;
        break;
      case '[':
        ++p;
        space();
        if (p == end) return fail_at(end, "EOF while parsing a list");
        if (*p == ']') {
          ++p;
          break;
        }
        open.push(false);
        continue;
      case '{':
        ++p;
        space();
        if (p == end) return fail_at(end, "EOF while parsing an object");
        if (*p == '}') {
          ++p;
          break;
        }
        if (*p != '"') return fail_at(p + 1, "key must be a string");
        p = skip_name(p);
        if (p == nullptr) return false;
        open.push(true);
        continue;
      default:
        return fail_at(p + 1, "expected value");
    }
    // A value is complete: close what it completes, up to the next value.
    for (;;) {
      if (open.depth() == 0) {
        cur_ = p;
        return true;
      }
      space();
      if (p == end) {
        return fail_at(
            end, open.in_object() ? "EOF while parsing an object" : "EOF while parsing a list");
      }
      const char c = *p;
      if (open.in_object()) {
        if (c == '}') {
          ++p;
          open.pop();
          continue;
        }
        if (c != ',') return fail_at(p + 1, "expected `,` or `}`");
        ++p;
        space();
        if (p == end) return fail_at(end, "EOF while parsing a value");
        if (*p == '"') {
          p = skip_name(p);
          if (p == nullptr) return false;
          break;
        }
        if (*p == '}') return fail_at(p + 1, "trailing comma");
        return fail_at(p + 1, "key must be a string");
      }
      if (c == ']') {
        ++p;
        open.pop();
        continue;
      }
      if (c != ',') return fail_at(p + 1, "expected `,` or `]`");
      ++p;
      space();
      if (p < end && *p == ']') return fail_at(p + 1, "trailing comma");
      break;  // the end of the text is the next value's to report
    }
  }
}

bool Reader::read_value(Value& out) {
  switch (peek()) {
    case 'n':
      if (!take(literal(cur_, "null"))) return false;
      out = nullptr;
      return true;
    case 't':
      if (!take(literal(cur_, "true"))) return false;
      out = true;
      return true;
    case 'f':
      if (!take(literal(cur_, "false"))) return false;
      out = false;
      return true;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      NumberScan s;
      if (!take(scan_number(cur_, s))) return false;
      std::string_view text(s.start, static_cast<std::size_t>(s.end - s.start));
      if (text == "-0") text = "0";
      out = Number{std::string(text)};
      return true;
    }
    case '"': {
      ++cur_;
      std::string s;
      if (!decode_string(s)) return false;
      out = std::move(s);
      return true;
    }
    case '[':
      return enter() && read_array(out);
    case '{':
      return enter() && read_object(out);
    case -1:
      return fail_peek("EOF while parsing a value");
    default:
      return fail_peek("expected value");
  }
}

// After the opening bracket.
bool Reader::read_array(Value& out) {
  Array items;
  bool more = false;
  if (!array_next(true, more)) return false;
  while (more) {
    items.emplace_back();
    if (!read_value(items.back()) || !array_next(false, more)) return false;
  }
  leave();
  out = std::move(items);
  return true;
}

// After the opening brace. Members are collected first and sorted once.
bool Reader::read_object(Value& out) {
  std::vector<Member> members;
  bool more = false;
  if (!object_first(more)) return false;
  while (more) {
    Member& m = members.emplace_back();
    ++cur_;
    if (!decode_string(m.name) || !object_colon() || !read_value(m.value) || !object_next(more)) {
      return false;
    }
  }
  leave();
  out = Object::from_members(std::move(members));
  return true;
}

}  // namespace detail

}  // namespace quillon_bo_core::json
