// The one scan that both the reader and the writer of strings run: the next
// byte that ends a run of plain string content.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Forces in line what clang keeps as calls and GCC inlines on its own: the
// scan and the reader's member steps, a tenth of a parse as calls. Forcing
// GCC as well made its calls slower (token.parse 442 -> 514 ns from Python).
#if defined(__clang__)
#define QB_CLANG_INLINE [[gnu::always_inline]]
#else
#define QB_CLANG_INLINE
#endif

namespace quillon_bo_core::json::detail {

// The bytes that end a run of plain string content: the quote, the backslash
// and 0x00..0x1F. The same set is what the writer must escape.
constexpr bool is_string_stop(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

#if defined(__SSE2__)
// One bit per byte of `v` that is a string stop.
QB_CLANG_INLINE inline int string_stop_mask(__m128i v) {
  // v <= 0x1F (unsigned) exactly when min(v, 0x1F) == v.
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
  return _mm_movemask_epi8(_mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
      low));
}

QB_CLANG_INLINE inline unsigned stops_16(const char* at) {
  return static_cast<unsigned>(
      string_stop_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))));
}

// The 8 and 4 bytes at `at`; the zeros the load puts above them are masked off.
QB_CLANG_INLINE inline unsigned stops_8(const char* at) {
  return static_cast<unsigned>(
             string_stop_mask(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)))) &
         0xFFu;
}

QB_CLANG_INLINE inline unsigned stops_4(const char* at) {
  int word;
  std::memcpy(&word, at, sizeof word);
  return static_cast<unsigned>(string_stop_mask(_mm_cvtsi32_si128(word))) & 0xFu;
}
#endif

// The first string stop in [p, end), or end. Sixteen bytes at a time where
// the text allows it; never reads past `end`. The bytes short of a whole
// block are looked at in one load that ends at `end` and overlaps bytes
// already looked at, whose bits are shifted out: the writer's strings are
// mostly short, and a byte loop over their tails was the writer's main cost.
QB_CLANG_INLINE inline const char* find_string_stop(const char* p, const char* end) {
#if defined(__SSE2__)
  const auto size = static_cast<unsigned>(std::min<std::ptrdiff_t>(end - p, 16));
  if (size == 16) {
    // Names and most texts end within their first sixteen bytes.
    const unsigned first = stops_16(p);
    if (first != 0) return p + __builtin_ctz(first);
    p += 16;
    while (end - p >= 32) {
      const unsigned mask_a = stops_16(p);
      const unsigned mask_b = stops_16(p + 16);
      if ((mask_a | mask_b) != 0) {
        return mask_a != 0 ? p + __builtin_ctz(mask_a) : p + 16 + __builtin_ctz(mask_b);
      }
      p += 32;
    }
    if (end - p >= 16) {
      const unsigned mask = stops_16(p);
      if (mask != 0) return p + __builtin_ctz(mask);
      p += 16;
    }
    if (p < end) {
      const unsigned mask = stops_16(end - 16) >> (16 - (end - p));
      if (mask != 0) return p + __builtin_ctz(mask);
    }
    return end;
  }
  if (size >= 8) {
    const unsigned first = stops_8(p);
    if (first != 0) return p + __builtin_ctz(first);
    const unsigned last = stops_8(end - 8) >> (16 - size);
    return last != 0 ? p + 8 + __builtin_ctz(last) : end;
  }
  if (size >= 4) {
    const unsigned first = stops_4(p);
    if (first != 0) return p + __builtin_ctz(first);
    const unsigned last = stops_4(end - 4) >> (8 - size);
    return last != 0 ? p + 4 + __builtin_ctz(last) : end;
  }
#endif
  while (p < end && !is_string_stop(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace quillon_bo_core::json::detail
