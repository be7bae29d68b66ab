// The scan for the end of plain string content, which the reader and the
// writer share: every length around the block sizes it loads, every position
// of the first stop, every kind of stop, and texts that end where their
// memory ends (a load past the end fails under AddressSanitizer).
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>

#include "json/string_scan.hpp"

namespace json_string_scan_test {
namespace {

using quillon_bo_core::json::detail::find_string_stop;

// `length` bytes of `fill` in a block of exactly that size, with `stop` at
// `at` (none when `at` is past the end) and again at the end, so that only
// the first one can be the answer.
std::unique_ptr<char[]> text_of(std::size_t length, char fill, std::size_t at, char stop) {
  auto text = std::make_unique<char[]>(length);
  for (std::size_t i = 0; i < length; ++i) text[i] = fill;
  if (at < length) {
    text[at] = stop;
    text[length - 1] = stop;
  }
  return text;
}

TEST(FindStringStop, FirstStopAtEveryPositionOfEveryLength) {
  for (const char stop : {'"', '\\', '\0', '\x1f', '\n'}) {
    for (const char fill : {'a', ' ', '\x7f', '\xff', '\x20'}) {
      for (std::size_t length = 0; length <= 70; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
          const auto text = text_of(length, fill, at, stop);
          const char* found = find_string_stop(text.get(), text.get() + length);
          ASSERT_EQ(found - text.get(), static_cast<std::ptrdiff_t>(at))
              << "length " << length << ", stop " << int(stop) << ", fill " << int(fill);
        }
      }
    }
  }
}

TEST(FindStringStop, FromAnOffsetIntoTheText) {
  // The reader scans from the middle of a text; bytes before the start,
  // stops included, are not its concern.
  const std::string text = "\"\\\"abcdefghijklmnopqrstuvwxyz\"";
  for (std::size_t from = 3; from < text.size(); ++from) {
    const char* found = find_string_stop(text.data() + from, text.data() + text.size());
    EXPECT_EQ(found - text.data(), static_cast<std::ptrdiff_t>(text.size() - 1)) << from;
  }
}

}  // namespace
}  // namespace json_string_scan_test
