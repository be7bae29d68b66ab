// Numbers as the reader meets them: where a scanned number's parts lie, its
// integer magnitude, and the double it stands for.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon_bo_core::json::detail {

// Where a number's parts lie in the text; the number is [start, end).
struct NumberScan {
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

  std::string_view digits() const {
    return {int_begin, static_cast<std::size_t>(int_end - int_begin)};
  }
};

// The digits of a plain integer as an unsigned 64-bit magnitude, if they fit.
bool magnitude_of(std::string_view digits, std::uint64_t& magnitude);

enum class Magnitude { zero, finite, overflow };

// The double nearest to a scanned number, with the overflow case told apart
// from underflow (which reads as a signed zero).
Magnitude to_double(const NumberScan& s, double& d);

}  // namespace quillon_bo_core::json::detail
