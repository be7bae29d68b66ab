// The one scan that both the reader and the writer of strings run: the next
// byte that ends a run of plain string content.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillon_bo_core::json::detail {

// The bytes that end a run of plain string content: the quote, the backslash
// and 0x00..0x1F. The same set is what the writer must escape.
constexpr bool is_string_stop(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

#if defined(__SSE2__)
// One bit per byte of the 16 at `at` that is a string stop.
inline __m128i string_stops(const char* at) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  // v <= 0x1F (unsigned) exactly when min(v, 0x1F) == v.
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
  return _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
      low);
}
#endif

// The first string stop in [p, end), or end. Sixteen bytes at a time where
// the text allows it; never reads past `end`.
inline const char* find_string_stop(const char* p, const char* end) {
#if defined(__SSE2__)
  if (end - p >= 16) {
    // Names and most texts end within their first sixteen bytes.
    const int first = _mm_movemask_epi8(string_stops(p));
    if (first != 0) return p + __builtin_ctz(static_cast<unsigned>(first));
    p += 16;
    while (end - p >= 32) {
      const int mask_a = _mm_movemask_epi8(string_stops(p));
      const int mask_b = _mm_movemask_epi8(string_stops(p + 16));
      if ((mask_a | mask_b) != 0) {
        return mask_a != 0 ? p + __builtin_ctz(static_cast<unsigned>(mask_a))
                           : p + 16 + __builtin_ctz(static_cast<unsigned>(mask_b));
      }
      p += 32;
    }
    if (end - p >= 16) {
      const int mask = _mm_movemask_epi8(string_stops(p));
      if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
      p += 16;
    }
  }
#endif
  while (p < end && !is_string_stop(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace quillon_bo_core::json::detail
