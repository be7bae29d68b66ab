// The pull reader under json::parse and the record decoder: a cursor over one
// text with the nesting budget and the first failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "json/arena.hpp"
#include "json/messages.hpp"
#include "json/string_scan.hpp"
#include "json/value.hpp"

namespace quillon_bo_core::json::detail {

struct NumberScan;

// Every operation that can fail returns false after recording the failure, so
// that callers unwind with `if (!r.op()) return false;`. Offsets follow one
// rule: a fault seen by looking at a byte is placed just after that byte; a
// fault seen after a value was read is placed just after the last byte read.
class Reader {
 public:
  // Strings read as views need an arena for those with escapes.
  explicit Reader(std::string_view text, Arena* arena = nullptr)
      : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()), arena_(arena) {}

  // Skips white space; the next byte without taking it, or -1 at the end.
  QB_CLANG_INLINE int peek() {
    skip_space();
    return cur_ < end_ ? static_cast<unsigned char>(*cur_) : -1;
  }

  // The whole-text rule: after the value only white space may follow.
  bool finish();
  Failure take_failure() { return std::move(failure_); }

  // Any JSON value, syntax-checked, without building anything: no recursion,
  // no depth limit, no number ranges, no surrogate pairing.
  bool skip_value();

  // Fields, each at the start of its value (white space already skipped or
  // not): the exact messages for every other kind of value found.
  bool read_text(std::string& out);
  // A string as a view of the text, or of the arena when it has escapes.
  bool read_view(std::string_view& out);
  bool read_u16(std::uint16_t& out);
  bool read_i64(std::int64_t& out);
  // Takes "null" when the value starts with 'n'; answers whether it did.
  bool read_null(bool& was_null);
  // An enumeration of plain names, "name" or {"name":null}: the index of the
  // name in `names`.
  bool read_enum(const std::string_view* names, std::size_t count, std::size_t& index);

  // Records. At '{' or '[' (as peek() told): takes it and a unit of budget.
  bool enter();
  void leave() { ++budget_; }
  // Object form: after the brace, whether a member follows (its name is
  // next) or the brace was closed.
  bool object_first(bool& more);
  // The member name, escapes resolved; valid until the next call. Leaves
  // the cursor just after the closing quote.
  bool read_name(std::string_view& name);
  bool object_colon();
  // After a member's value: whether another member follows.
  bool object_next(bool& more);
  // Array form: whether another element follows (takes the comma) or the
  // bracket closed (takes it).
  bool array_next(bool first, bool& more);
  // After the last field's element: the closing bracket, or the messages for
  // extra elements.
  bool array_end();

  // Data failures of record decoding.
  bool not_a_record(std::string_view name);
  bool missing_field(std::string_view name);
  bool duplicate_field(std::string_view name);
  bool invalid_length(std::size_t index, std::string_view name, std::size_t count);

  // Reading into a JSON value.
  bool read_value(Value& out);

 private:
  void skip_space() {
    while (cur_ < end_ && is_space(static_cast<unsigned char>(*cur_))) ++cur_;
  }
  // One comparison for the common case of a byte that is no white space.
  static bool is_space(unsigned char c) {
    return c <= ' ' && (c == ' ' || c == '\n' || c == '\t' || c == '\r');
  }

  bool fail_at(const char* at, Fault fault) { return fail_at(at, message(fault)); }
  bool fail_at(const char* at, std::string message);
  bool fail_here(Fault fault) { return fail_at(cur_, fault); }
  bool fail_here(std::string message) { return fail_at(cur_, std::move(message)); }
  // Just after the byte at the cursor, or at the end of the text.
  bool fail_peek(Fault fault) { return fail_at(cur_ < end_ ? cur_ + 1 : end_, fault); }

  // Scanners (json/scanners.hpp): from a position to the position after what
  // they read, or nullptr once they have recorded a failure.
  const char* literal(const char* p, const char* word);
  const char* scan_number(const char* p, NumberScan& scan);
  const char* hex4(const char* p, unsigned& value);
  const char* skip_escape(const char* p);
  const char* skip_string(const char* p);
  const char* skip_name(const char* p);
  // Moves the cursor to what a scanner gave, if it gave anything.
  bool take(const char* p) {
    if (p == nullptr) return false;
    cur_ = p;
    return true;
  }
  bool read_integer(std::int64_t min, std::uint64_t max, std::string_view expected,
                    std::uint64_t& magnitude, bool& negative);
  bool read_plain_integer(std::int64_t min, std::uint64_t max, std::uint64_t& magnitude,
                          bool& negative);
  bool unescape(char*& to);
  bool string_stop(char*& to, bool& closed);
  bool decode_string(std::string& out);
  bool decode_into_arena(std::string_view& out);
  bool invalid_type(std::string_view expected);
  bool read_array(Value& out);
  bool read_object(Value& out);

  const char* begin_;
  const char* cur_;
  const char* end_;
  Arena* arena_;
  int budget_ = 128;
  std::string scratch_;
  Failure failure_;
};

// The small steps that every member and element takes, in line.

inline bool Reader::enter() {
  if (--budget_ == 0) return fail_peek(Fault::recursion_limit);
  ++cur_;
  return true;
}

QB_CLANG_INLINE inline bool Reader::read_name(std::string_view& name) {
  const char* start = ++cur_;
  const char* stop = find_string_stop(start, end_);
  if (stop < end_ && *stop == '"') {
    name = std::string_view(start, static_cast<std::size_t>(stop - start));
    cur_ = stop + 1;
    return true;
  }
  scratch_.clear();
  if (!decode_string(scratch_)) return false;
  name = scratch_;
  return true;
}

inline bool Reader::read_text(std::string& out) {
  if (peek() != '"') return invalid_type(expected::text);
  ++cur_;
  out.clear();
  return decode_string(out);
}

QB_CLANG_INLINE inline bool Reader::read_view(std::string_view& out) {
  if (peek() != '"') return invalid_type(expected::text);
  const char* start = ++cur_;
  const char* stop = find_string_stop(start, end_);
  if (stop < end_ && *stop == '"') {
    out = std::string_view(start, static_cast<std::size_t>(stop - start));
    cur_ = stop + 1;
    return true;
  }
  return decode_into_arena(out);
}

QB_CLANG_INLINE inline bool Reader::object_first(bool& more) {
  switch (peek()) {
    case '}':
      ++cur_;
      more = false;
      return true;
    case '"':
      more = true;
      return true;
    case -1:
      return fail_at(end_, Fault::eof_object);
    default:
      return fail_peek(Fault::key_must_be_string);
  }
}

QB_CLANG_INLINE inline bool Reader::object_colon() {
  switch (peek()) {
    case ':':
      ++cur_;
      return true;
    case -1:
      return fail_at(end_, Fault::eof_object);
    default:
      return fail_peek(Fault::expected_colon);
  }
}

QB_CLANG_INLINE inline bool Reader::object_next(bool& more) {
  switch (peek()) {
    case ',':
      ++cur_;
      switch (peek()) {
        case '"':
          more = true;
          return true;
        case '}':
          return fail_peek(Fault::trailing_comma);
        case -1:
          return fail_at(end_, Fault::eof_value);
        default:
          return fail_peek(Fault::key_must_be_string);
      }
    case '}':
      ++cur_;
      more = false;
      return true;
    case -1:
      return fail_at(end_, Fault::eof_object);
    default:
      return fail_peek(Fault::expected_object_end);
  }
}

inline bool Reader::array_next(bool first, bool& more) {
  const int c = peek();
  if (c == ']') {
    ++cur_;
    more = false;
    return true;
  }
  if (c == -1) return fail_at(end_, Fault::eof_list);
  more = true;
  if (first) return true;
  if (c != ',') return fail_peek(Fault::expected_list_end);
  ++cur_;
  switch (peek()) {
    case ']':
      return fail_peek(Fault::trailing_comma);
    case -1:
      return fail_at(end_, Fault::eof_value);
    default:
      return true;
  }
}

}  // namespace quillon_bo_core::json::detail
