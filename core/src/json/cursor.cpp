#include "json/cursor.hpp"

#include <algorithm>
#include <cstdint>

#include "json/cursor_inl.hpp"
#include "utf8.hpp"

namespace quillon_bo_core::json::detail {

bool Cursor::fail_at(const char* at, std::string message) {
  if (at > end_) at = end_;
  failure_ = Failure{std::move(message), static_cast<std::size_t>(at - begin_)};
  return false;
}

bool Cursor::finish() {
  if (peek() >= 0) return fail_peek(Fault::trailing_characters);
  return true;
}

// Just after a backslash: writes what the escape stands for at `to` (at most
// four bytes) and takes the escape.
bool Cursor::unescape(char*& to) {
  if (cur_ == end_) return fail_at(end_, Fault::eof_string);
  switch (*cur_++) {
    case '"':
      *to++ = '"';
      return true;
    case '\\':
      *to++ = '\\';
      return true;
    case '/':
      *to++ = '/';
      return true;
    case 'b':
      *to++ = '\b';
      return true;
    case 'f':
      *to++ = '\f';
      return true;
    case 'n':
      *to++ = '\n';
      return true;
    case 'r':
      *to++ = '\r';
      return true;
    case 't':
      *to++ = '\t';
      return true;
    case 'u': {
      unsigned unit = 0;
      cur_ = hex4(cur_, unit);
      if (cur_ == nullptr) return false;
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return fail_here(Fault::lone_surrogate);
      }
      std::uint32_t cp = unit;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (cur_ == end_) return fail_at(end_, Fault::eof_string);
        if (*cur_ != '\\') return fail_peek(Fault::hex_escape_end);
        ++cur_;
        if (cur_ == end_) return fail_at(end_, Fault::eof_string);
        if (*cur_ != 'u') return fail_peek(Fault::hex_escape_end);
        ++cur_;
        unsigned trail = 0;
        cur_ = hex4(cur_, trail);
        if (cur_ == nullptr) return false;
        if (trail < 0xDC00 || trail > 0xDFFF) {
          return fail_here(Fault::lone_surrogate);
        }
        cp = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
      }
      to = utf8::put(cp, to);
      return true;
    }
    default:
      return fail_here(Fault::invalid_escape);
  }
}

bool Cursor::string_stop(char*& to, bool& closed) {
  if (cur_ == end_) return fail_at(end_, Fault::eof_string);
  const char c = *cur_;
  if (c == '"') {
    ++cur_;
    closed = true;
    return true;
  }
  if (c != '\\') return fail_peek(Fault::control_character);
  ++cur_;
  return unescape(to);
}

bool Cursor::decode_string(std::string& out) {
  const char* stop = find_string_stop(cur_, end_);
  if (stop < end_ && *stop == '"') {
    // No escape, the usual case: one copy.
    out.append(cur_, static_cast<std::size_t>(stop - cur_));
    cur_ = stop + 1;
    return true;
  }
  // An escape: the string is never longer decoded than written, so room for
  // the rest of the text (within a bound) spares the string its doublings
  // while it is built piece by piece, as texts holding JSON texts are.
  constexpr std::size_t room_bound = 4096;
  out.reserve(out.size() + std::min(static_cast<std::size_t>(end_ - cur_), room_bound));
  for (;;) {
    out.append(cur_, static_cast<std::size_t>(stop - cur_));
    cur_ = stop;
    char escaped[4];
    char* to = escaped;
    bool closed = false;
    if (!string_stop(to, closed)) return false;
    if (closed) return true;
    out.append(escaped, static_cast<std::size_t>(to - escaped));
    stop = find_string_stop(cur_, end_);
  }
}

}  // namespace quillon_bo_core::json::detail
