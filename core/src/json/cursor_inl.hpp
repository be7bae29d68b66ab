// The cursor's inline members that its units share: the scanners under the
// string decoding, the skipping loop and both readers. Inline, so that the
// skipping loop keeps its position in a register. Internal to the json
// units; include json/cursor.hpp elsewhere.
#pragma once

#include "json/cursor.hpp"
#include "json/number.hpp"
#include "json/string_scan.hpp"

namespace quillon_bo_core::json::detail {

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

// The scanners below take the position to start at and give the position
// after what they read, or nullptr once they have recorded a failure. The
// skipping loop keeps its position in a register that way.

// At the first letter of true, false or null; `word` is the whole literal.
[[gnu::always_inline]] inline const char* Cursor::literal(const char* p, const char* word) {
  ++p;
  for (const char* w = word + 1; *w != '\0'; ++w) {
    if (p == end_) return fail_at(end_, Fault::eof_value), nullptr;
    if (*p != *w) return fail_at(p + 1, Fault::expected_ident), nullptr;
    ++p;
  }
  return p;
}

// At '-' or a digit: checks the syntax and notes where the parts are. A
// number cut short by the end of the text needs more value.
[[gnu::always_inline]] inline const char* Cursor::scan_number(const char* p, NumberScan& s) {
  const char* const end = end_;
  s.start = p;
  if (*p == '-') {
    s.negative = true;
    ++p;
  }
  if (p == end) return fail_at(end, Fault::eof_value), nullptr;
  s.int_begin = p;
  if (*p == '0') {
    ++p;
    if (p < end && is_digit(*p)) return fail_at(p + 1, Fault::invalid_number), nullptr;
  } else if (is_digit(*p)) {
    ++p;
    while (p < end && is_digit(*p)) ++p;
  } else {
    return fail_at(p + 1, Fault::invalid_number), nullptr;
  }
  s.int_end = p;
  if (p < end && *p == '.') {
    s.integer = false;
    ++p;
    if (p == end) return fail_at(end, Fault::eof_value), nullptr;
    if (!is_digit(*p)) return fail_at(p + 1, Fault::invalid_number), nullptr;
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
    if (p == end) return fail_at(end, Fault::eof_value), nullptr;
    if (!is_digit(*p)) return fail_at(p + 1, Fault::invalid_number), nullptr;
    s.exp_begin = p;
    while (p < end && is_digit(*p)) ++p;
  }
  s.end = p;
  return p;
}

// Four hex digits of a \u escape.
[[gnu::always_inline]] inline const char* Cursor::hex4(const char* p, unsigned& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (p == end_) return fail_at(end_, Fault::eof_string), nullptr;
    const int h = hex_value(static_cast<unsigned char>(*p));
    if (h < 0) return fail_at(p + 1, Fault::invalid_escape), nullptr;
    value = value * 16 + static_cast<unsigned>(h);
    ++p;
  }
  return p;
}

// One escape of a skipped string, at the byte after the backslash: the
// position after it, or nullptr.
[[gnu::always_inline]] inline const char* Cursor::skip_escape(const char* p) {
  if (p == end_) return fail_at(end_, Fault::eof_string), nullptr;
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
      return fail_at(p, Fault::invalid_escape), nullptr;
  }
}

// Just after the opening quote; takes the rest of the string. \u escapes
// need four hex digits but no pairing: nothing is made of them. Sixteen bytes
// are looked at together, and every escape inside them is checked from the
// same masks, so a string with many escapes costs no more loads than one
// without.
[[gnu::always_inline]] inline const char* Cursor::skip_string(const char* p) {
  const char* const end = end_;
#if defined(__SSE2__)
  while (end - p >= 16) {
    unsigned stops = stops_16(p);
    const char* next = p + 16;
    while (stops != 0) {
      const unsigned i = static_cast<unsigned>(__builtin_ctz(stops));
      const char c = p[i];
      if (c == '"') return p + i + 1;
      if (c != '\\') {
        fail_at(p + i + 1, Fault::control_character);
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
    if (p == end) return fail_at(end, Fault::eof_string), nullptr;
    const char c = *p;
    if (c == '"') return p + 1;
    if (c != '\\') {
      fail_at(p + 1, Fault::control_character);
      return nullptr;
    }
    p = skip_escape(p + 1);
    if (p == nullptr) return nullptr;
  }
}

// A member name of a skipped object and its colon, at the opening quote.
[[gnu::always_inline]] inline const char* Cursor::skip_name(const char* p) {
  p = skip_string(p + 1);
  if (p == nullptr) return nullptr;
  while (p < end_ && is_space(static_cast<unsigned char>(*p))) ++p;
  if (p < end_ && *p == ':') return p + 1;
  if (p == end_) return fail_at(end_, Fault::eof_object), nullptr;
  return fail_at(p + 1, Fault::expected_colon), nullptr;
}

}  // namespace quillon_bo_core::json::detail
