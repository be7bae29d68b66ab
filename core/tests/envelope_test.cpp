// The trimming and the character cut on bytes Python never sends (ill-formed
// UTF-8), where they are easiest to pin down alone.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "text.hpp"

namespace quillon_bo_core::text {
namespace {

TEST(Text, TrimsOnlyWhiteSpaceEncodings) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {" \t\n\v\f\r", ""},
      {"\xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80"
       "a b"
       "\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF"
       "\xE2\x81\x9F\xE3\x80\x80",
       "a b"},
      // Not White_Space: U+200B, U+FEFF, U+180E; U+0385 and U+20A0 end in the
      // bytes that end U+0085 and U+00A0.
      {"\xE2\x80\x8B"
       "a\xEF\xBB\xBF",
       "\xE2\x80\x8B"
       "a\xEF\xBB\xBF"},
      {"\xE1\xA0\x8E"
       "a\xCE\x85",
       "\xE1\xA0\x8E"
       "a\xCE\x85"},
      {"a\xE2\x82\xA0", "a\xE2\x82\xA0"},
      // Ill-formed bytes stop the trimming and stay.
      {"\x85 a \xC2", "\x85 a \xC2"},
      {" \xE2\x80 ", "\xE2\x80"},
      {"\xC2\xA0\xFF\xC2\xA0", "\xFF"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trim_white_space(in), out) << in;
}

TEST(Text, CutsBetweenCharactersAndKeepsIllFormedBytesOneByOne) {
  struct Case {
    std::string_view in;
    std::size_t limit;
    std::string_view out;
  };
  const Case cases[] = {
      {"abcd", 3, "abc"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!", 3, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      // A lone continuation, a truncated sequence, an overlong form, an encoded
      // surrogate, a value above U+10FFFF and 0xFF each count as one per byte.
      {"\x80\x80\x80", 2, "\x80\x80"},
      {"\xE2\x82"
       "abc",
       2, "\xE2\x82"},
      {"\xC0\xAF"
       "a",
       2, "\xC0\xAF"},
      {"\xED\xA0\x80"
       "a",
       3, "\xED\xA0\x80"},
      {"\xF4\x90\x80\x80", 1, "\xF4"},
      {"\xFF\xC3\xA9\xFF", 2, "\xFF\xC3\xA9"},
      {"a\xF0\x9F\x98", 2, "a\xF0"},
  };
  for (const Case& c : cases) {
    const std::string_view out = first_characters(c.in, c.limit);
    EXPECT_EQ(out, c.out) << c.in;
    EXPECT_EQ(out.data(), c.in.data());  // a prefix: no byte that was not sent
  }
}

}  // namespace
}  // namespace quillon_bo_core::text
