// Checks shared by the fuzz targets. A failed check aborts, which libFuzzer
// reports as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "json.hpp"

namespace fuzz {

inline void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

// Well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, at most U+10FFFF).
inline bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    for (std::size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return false;
      const auto b = static_cast<unsigned char>(s[i + k]);
      const unsigned low = k == 1 ? lo : 0x80, high = k == 1 ? hi : 0xBF;
      if (b < low || b > high) return false;
    }
    i += n + 1;
  }
  return true;
}

// Every object in `v` (at any depth) satisfies `pred`.
template <class Pred>
void for_each_object(const quillon_bo_core::json::Value& v, Pred&& pred) {
  using namespace quillon_bo_core::json;
  if (const auto* a = v.get_if<Array>()) {
    for (const auto& item : *a) for_each_object(item, pred);
  } else if (const auto* o = v.get_if<Object>()) {
    pred(*o);
    for (const auto& m : *o) for_each_object(m.value, pred);
  }
}

}  // namespace fuzz
