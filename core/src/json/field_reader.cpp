#include "json/field_reader.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "json/cursor_inl.hpp"
#include "json/number.hpp"
#include "runtime.hpp"
#include "utf8.hpp"

namespace quillon_bo_core::json::detail {

// A string with escapes, decoded into the arena: never longer than the rest
// of the text, which is asked for and what is left over given back. Plain
// content is copied sixteen bytes at a time while a whole block remains: the
// writing end stays behind the reading one, so a block written in full
// always lands inside the room.
bool FieldReader::decode_into_arena(std::string_view& out) {
  QB_ASSERT(arena_ != nullptr);
  const auto room = static_cast<std::size_t>(end_ - cur_);
  char* const block = arena_->allocate(room);
  char* to = block;
  for (;;) {
#if defined(__SSE2__)
    while (end_ - cur_ >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur_));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), v);
      const auto mask = static_cast<unsigned>(string_stop_mask(v));
      if (mask != 0) {
        const int n = __builtin_ctz(mask);
        cur_ += n;
        to += n;
        goto at_stop;
      }
      cur_ += 16;
      to += 16;
    }
#endif
    {
      const char* stop = find_string_stop(cur_, end_);
      const auto n = static_cast<std::size_t>(stop - cur_);
      if (n != 0) std::memcpy(to, cur_, n);
      to += n;
      cur_ = stop;
    }
#if defined(__SSE2__)
  at_stop:
#endif
    // The end, and the escapes of a JSON text inside a string, in line.
    if (cur_ < end_) {
      if (*cur_ == '"') {
        ++cur_;
        break;
      }
      if (*cur_ == '\\' && end_ - cur_ >= 2 && (cur_[1] == '"' || cur_[1] == '\\')) {
        *to++ = cur_[1];
        cur_ += 2;
        continue;
      }
    }
    bool closed = false;
    if (!string_stop(to, closed)) return false;
    if (closed) break;
  }
  const auto size = static_cast<std::size_t>(to - block);
  arena_->trim(block, size);
  out = std::string_view(block, size);
  return true;
}

// Reads the value at the cursor, whatever it is, and fails with "invalid
// type: {found}, expected {expected}". An array or object is only looked at.
bool FieldReader::invalid_type(std::string_view expected) {
  std::string what;  // what was found, for the first slot
  switch (peek()) {
    case -1:
      return fail_peek(Fault::eof_value);
    case 'n':
      if (!take(literal(cur_, "null"))) return false;
      what = found::null;
      break;
    case 't':
      if (!take(literal(cur_, "true"))) return false;
      what = found::boolean_true;
      break;
    case 'f':
      if (!take(literal(cur_, "false"))) return false;
      what = found::boolean_false;
      break;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      NumberScan s;
      if (!take(scan_number(cur_, s))) return false;
      std::uint64_t magnitude = 0;
      const bool in_range = s.integer && magnitude_of(s.digits(), magnitude) &&
                            (!s.negative || magnitude <= std::uint64_t{1} << 63);
      // -0 is the integer 0 here.
      what = in_range ? found::integer(s.negative && magnitude != 0, s.digits()) : found::number;
      break;
    }
    case '"': {
      ++cur_;
      scratch_.clear();
      if (!decode_string(scratch_)) return false;
      what = found::string(scratch_);
      break;
    }
    case '[':
      what = found::sequence;
      break;
    case '{':
      what = found::map;
      break;
    default:
      return fail_peek(Fault::expected_value);
  }
  return fail_here(message(Fault::invalid_type, {what, expected}));
}

namespace {

// Whether the eight bytes (in memory order, read little-endian) are all
// ASCII digits: each byte's high nibble is 3 and adding 6 to it keeps it so.
constexpr bool eight_digits(std::uint64_t bytes) {
  constexpr std::uint64_t high = 0xF0F0F0F0F0F0F0F0;
  return ((bytes & high) | (((bytes + 0x0606060606060606) & high) >> 4)) == 0x3333333333333333;
}

// The value of eight ASCII digits read little-endian (the first digit in the
// lowest byte): pairs, then fours, then the whole, by multiplications.
constexpr std::uint64_t value_of_eight_digits(std::uint64_t bytes) {
  bytes -= 0x3030303030303030;
  bytes = bytes * 10 + (bytes >> 8);
  constexpr std::uint64_t low_bytes = 0x000000FF000000FF;
  constexpr std::uint64_t hundreds = 100 + (std::uint64_t{1'000'000} << 32);
  constexpr std::uint64_t ones = 1 + (std::uint64_t{10'000} << 32);
  return (((bytes & low_bytes) * hundreds) + (((bytes >> 16) & low_bytes) * ones)) >> 32;
}

static_assert(eight_digits(0x3736353433323130) && !eight_digits(0x373635343332312F) &&
              !eight_digits(0x3A36353433323130));
static_assert(value_of_eight_digits(0x3837363534333231) == 12345678);

}  // namespace

// The usual integer field, at most 19 digits (no overflow while they are
// added up) with nothing after them that makes another number of it, within
// [min, max]: taken with its value worked out as it is scanned. Anything else
// (leading zeros, -0, fractions, exponents, longer or out-of-range integers)
// is left at the cursor for the full scan and its messages.
bool FieldReader::read_plain_integer(std::int64_t min, std::uint64_t max, std::uint64_t& magnitude,
                                     bool& negative) {
  const char* p = cur_;
  const bool minus = *p == '-';
  if (minus) ++p;
  const char* const digits = p;
  const char* const limit = digits + std::min<std::ptrdiff_t>(end_ - digits, 19);
  std::uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Eight digits at a time: times and sizes are mostly longer than that.
    while (limit - p >= 8) {
      std::uint64_t eight;
      std::memcpy(&eight, p, sizeof eight);
      if (!eight_digits(eight)) break;
      value = value * 100'000'000 + value_of_eight_digits(eight);
      p += 8;
    }
  }
  while (p < limit && is_digit(*p)) {
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    ++p;
  }
  const std::ptrdiff_t count = p - digits;
  if (count == 0 || (count > 1 && *digits == '0')) return false;
  if (p < end_ && (is_digit(*p) || *p == '.' || *p == 'e' || *p == 'E')) return false;
  if (minus) {
    if (value == 0 || min >= 0 || value > static_cast<std::uint64_t>(-(min + 1)) + 1) return false;
  } else if (value > max) {
    return false;
  }
  magnitude = value;
  negative = minus;
  cur_ = p;
  return true;
}

// An integer field: a plain integer within [min, max]; other integers are
// invalid values, other numbers floating point, other values invalid types.
bool FieldReader::read_integer(std::int64_t min, std::uint64_t max, std::string_view expected,
                               std::uint64_t& magnitude, bool& negative) {
  const int c = peek();
  if (c != '-' && !is_digit(c)) return invalid_type(expected);
  if (read_plain_integer(min, max, magnitude, negative)) return true;
  NumberScan s;
  if (!take(scan_number(cur_, s))) return false;
  negative = s.negative;
  if (s.integer) {
    if (magnitude_of(s.digits(), magnitude)) {
      if (!negative) {
        if (magnitude <= max) return true;
        return fail_here(
            message(Fault::invalid_value, {found::integer(false, s.digits()), expected}));
      }
      // -0 is no integer here: it is the floating-point negative zero.
      if (magnitude != 0 && magnitude <= std::uint64_t{1} << 63) {
        if (min < 0 && magnitude <= static_cast<std::uint64_t>(-(min + 1)) + 1) return true;
        return fail_here(
            message(Fault::invalid_value, {found::integer(true, s.digits()), expected}));
      }
    }
  }
  double d = 0;
  if (to_double(s, d) == Magnitude::overflow) return fail_here(Fault::number_out_of_range);
  return fail_here(message(Fault::invalid_type, {found::floating_point(d), expected}));
}

bool FieldReader::read_u16(std::uint16_t& out) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  if (!read_integer(0, 65535, expected::u16, magnitude, negative)) return false;
  out = static_cast<std::uint16_t>(magnitude);
  return true;
}

bool FieldReader::read_i64(std::int64_t& out) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  if (!read_integer(std::numeric_limits<std::int64_t>::min(),
                    std::numeric_limits<std::int64_t>::max(), expected::i64, magnitude, negative)) {
    return false;
  }
  // Two's complement: the negation of the magnitude is the value, 2^63 included.
  out = static_cast<std::int64_t>(negative ? ~magnitude + 1 : magnitude);
  return true;
}

bool FieldReader::read_null(bool& was_null) {
  was_null = peek() == 'n';
  return !was_null || take(literal(cur_, "null"));
}

bool FieldReader::read_enum(const std::string_view* names, std::size_t count, std::size_t& index) {
  auto lookup = [&](std::string_view name) {
    for (index = 0; index < count; ++index) {
      if (names[index] == name) return true;
    }
    return fail_here(
        message(Fault::unknown_variant, {utf8::shown(name), expected::names(names, count)}));
  };
  const int c = peek();
  std::string_view name;
  if (c == '"') return read_name(name) && lookup(name);
  if (c != '{') {
    if (c == -1) return fail_peek(Fault::eof_value);
    return fail_peek(Fault::expected_value);
  }
  // {"name":null}
  if (!enter()) return false;
  switch (peek()) {
    case '"':
      break;
    case '}':
      return fail_peek(Fault::expected_value);
    case -1:
      return fail_at(end_, Fault::eof_object);
    default:
      return fail_peek(Fault::key_must_be_string);
  }
  if (!read_name(name) || !lookup(name) || !object_colon()) return false;
  if (peek() != 'n') return invalid_type(expected::unit);
  if (!take(literal(cur_, "null"))) return false;
  leave();
  switch (peek()) {
    case '}':
      ++cur_;
      return true;
    case -1:
      return fail_at(end_, Fault::eof_object);
    default:
      // Positioned before the offending byte, unlike every other looked-at fault.
      return fail_here(Fault::expected_value);
  }
}

bool FieldReader::array_end() {
  switch (peek()) {
    case ']':
      ++cur_;
      return true;
    case ',':
      ++cur_;
      switch (peek()) {
        case ']':
          return fail_peek(Fault::trailing_comma);
        case -1:
          return fail_at(end_, Fault::eof_value);
        default:
          return fail_peek(Fault::trailing_characters);
      }
    case -1:
      return fail_at(end_, Fault::eof_list);
    default:
      return fail_peek(Fault::trailing_characters);
  }
}

bool FieldReader::not_a_record(std::string_view name) {
  return invalid_type(expected::record(name));
}

bool FieldReader::missing_field(std::string_view name) {
  return fail_here(message(Fault::missing_field, {name}));
}

bool FieldReader::duplicate_field(std::string_view name) {
  return fail_here(message(Fault::duplicate_field, {name}));
}

bool FieldReader::invalid_length(std::size_t index, std::string_view name, std::size_t count) {
  return fail_here(
      message(Fault::invalid_length, {std::to_string(index), expected::record_count(name, count)}));
}

}  // namespace quillon_bo_core::json::detail
