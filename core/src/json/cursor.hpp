// The cursor that both readers of JSON text move: the value reader under
// json::parse and the field reader under record decoding. It holds the
// position in one text, the nesting budget and the first failure, and the
// steps that both readers take alike: white space, containers, strings and
// skipped values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "json/messages.hpp"
#include "json/string_scan.hpp"

namespace quillon_bo_core::json::detail {

struct NumberScan;

// Every operation that can fail returns false after recording the failure, so
// that callers unwind with `if (!r.op()) return false;`. Offsets follow one
// rule: a fault seen by looking at a byte is placed just after that byte; a
// fault seen after a value was read is placed just after the last byte read.
class Cursor {
 public:
  explicit Cursor(std::string_view text)
      : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {}

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

  // Containers. At '{' or '[' (as peek() told): takes it and a unit of budget.
  bool enter();
  void leave() { ++budget_; }
  // Object: after the brace, whether a member follows (its opening quote is
  // next) or the brace was closed.
  bool object_first(bool& more);
  bool object_colon();
  // After a member's value: whether another member follows.
  bool object_next(bool& more);
  // Array: whether another element follows (takes the comma) or the bracket
  // closed (takes it).
  bool array_next(bool first, bool& more);

 protected:
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

  // Scanners (json/cursor_inl.hpp): from a position to the position after
  // what they read, or nullptr once they have recorded a failure.
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

  // Strings, just after the opening quote: appends the decoded string.
  bool decode_string(std::string& out);
  // At the stop that ends a run of plain content: the end of the string (the
  // quote is taken), or an escape resolved at `to`, or the failure.
  bool string_stop(char*& to, bool& closed);

  const char* begin_;
  const char* cur_;
  const char* end_;

 private:
  bool unescape(char*& to);

  int budget_ = 128;
  Failure failure_;
};

// The small steps that every member and element takes, in line.

inline bool Cursor::enter() {
  if (--budget_ == 0) return fail_peek(Fault::recursion_limit);
  ++cur_;
  return true;
}

QB_CLANG_INLINE inline bool Cursor::object_first(bool& more) {
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

QB_CLANG_INLINE inline bool Cursor::object_colon() {
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

QB_CLANG_INLINE inline bool Cursor::object_next(bool& more) {
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

inline bool Cursor::array_next(bool first, bool& more) {
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
