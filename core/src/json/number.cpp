#include "json/number.hpp"

#include <charconv>
#include <system_error>

namespace quillon_bo_core::json::detail {

bool magnitude_of(std::string_view digits, std::uint64_t& magnitude) {
  if (digits.size() > 20) return false;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  return r.ec == std::errc() && r.ptr == digits.data() + digits.size();
}

Magnitude to_double(const NumberScan& s, double& d) {
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

}  // namespace quillon_bo_core::json::detail
