// The trimming and the 200-character cut on bytes Python can never send
// (ill-formed UTF-8), where they are easiest to pin down alone.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "text.hpp"

namespace quillon_bo_core::text {
namespace {

using namespace std::string_view_literals;

struct TrimCase {
  std::string_view input;
  std::string_view expected;
};

class Trim : public testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_white_space(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Trim,
    testing::Values(
        TrimCase{"", ""}, TrimCase{" \t\n\v\f\r", ""}, TrimCase{" a b ", "a b"},
        // U+0085, U+00A0, U+1680, U+2000, U+200A, U+2028, U+2029, U+202F, U+205F, U+3000
        TrimCase{"\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80" "a" "\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"
                 "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80",
                 "a"},
        // Not White_Space: U+200B (zero width space), U+FEFF, U+180E, U+200B at the end.
        TrimCase{"\xE2\x80\x8B" "a", "\xE2\x80\x8B" "a"}, TrimCase{"\xEF\xBB\xBF" "a", "\xEF\xBB\xBF" "a"},
        TrimCase{"\xE1\xA0\x8E" "a", "\xE1\xA0\x8E" "a"}, TrimCase{"a\xE2\x80\x8B", "a\xE2\x80\x8B"},
        // A continuation byte that happens to equal a White_Space tail is kept
        // when its lead byte differs: U+0385 ends in 0x85, U+20A0 in 0x80 0xA0.
        TrimCase{"a\xCE\x85", "a\xCE\x85"}, TrimCase{"a\xE2\x82\xA0", "a\xE2\x82\xA0"},
        // Ill-formed bytes stop the trimming and stay.
        TrimCase{"\x85 a", "\x85 a"}, TrimCase{"a \xC2", "a \xC2"}, TrimCase{" \xE2\x80 ", "\xE2\x80"},
        TrimCase{"\xC2\xA0\xFF\xC2\xA0", "\xFF"}));

struct CutCase {
  std::string input;
  std::size_t limit;
  std::string expected;
};

class FirstCharacters : public testing::TestWithParam<CutCase> {};

TEST_P(FirstCharacters, CutsBetweenCharacters) {
  const CutCase& c = GetParam();
  const std::string_view out = first_characters(c.input, c.limit);
  EXPECT_EQ(out, c.expected);
  // Always a prefix of the input: no byte that was not sent comes back.
  EXPECT_EQ(out.data(), c.input.data());
}

std::string repeat(std::string_view unit, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += unit;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstCharacters,
    testing::Values(
        CutCase{"", 3, ""}, CutCase{"abc", 0, ""}, CutCase{"abcd", 3, "abc"}, CutCase{"ab", 3, "ab"},
        CutCase{repeat("\xC3\xA9", 5), 3, repeat("\xC3\xA9", 3)},
        CutCase{repeat("\xE2\x82\xAC", 5), 2, repeat("\xE2\x82\xAC", 2)},
        CutCase{repeat("\xF0\x9F\x98\x80", 5), 4, repeat("\xF0\x9F\x98\x80", 4)},
        // Each ill-formed byte counts as one character: a lone continuation, a
        // truncated sequence, an overlong form, an encoded surrogate, 0xFF.
        CutCase{"\x80\x80\x80", 2, "\x80\x80"}, CutCase{"\xE2\x82" "abc", 2, "\xE2\x82"},
        CutCase{"\xC0\xAF" "a", 2, "\xC0\xAF"}, CutCase{"\xED\xA0\x80" "a", 3, "\xED\xA0\x80"},
        CutCase{"\xF4\x90\x80\x80", 1, "\xF4"}, CutCase{"\xFF\xC3\xA9\xFF", 2, "\xFF\xC3\xA9"},
        // A sequence cut short by the end of the text is ill-formed, byte by byte.
        CutCase{"a\xF0\x9F\x98", 2, "a\xF0"}));

}  // namespace
}  // namespace quillon_bo_core::text
