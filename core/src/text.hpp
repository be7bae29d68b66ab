// Text helpers shared by the configuration and the error-body helpers.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillon_bo_core::text {

// `s` without the characters of the Unicode White_Space property at either
// end (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000), matched as their UTF-8 encodings.
// Bytes that do not form one of these encodings are never removed, so an
// ill-formed sequence stops the trimming and is kept whole.
std::string_view trim_white_space(std::string_view s);

// The longest prefix of `s` that holds at most `limit` characters. A well-formed
// UTF-8 sequence counts as one character and is never split; each byte that is
// not part of a well-formed sequence counts as one character of its own. The
// result is always a prefix of `s`, so it holds no byte that `s` does not.
std::string_view first_characters(std::string_view s, std::size_t limit);

}  // namespace quillon_bo_core::text
