// The compact JSON writer of the result envelope: no white space, members in
// their sorted order, and exactly these escapes in strings: \" \\ \b \t \n
// \f \r, and \u00xx (lowercase) for every other byte below 0x20. The slash,
// 0x7F and all non-ASCII bytes are written as they are.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "json/value.hpp"

namespace quillon_bo_core::json {

// Appends `value` as compact JSON text.
void write(const Value& value, std::string& out);
std::string to_text(const Value& value);
// Appends `text` as a quoted JSON string.
void write_string(std::string_view text, std::string& out);

// Where the record encoder writes. libstdc++ keeps a string's small appends
// in line, so there it writes to the string itself. libc++ keeps even a
// one-byte append out of line (8 % of a token.build in the release wheel),
// so there small writes gather in a buffer on the stack, which goes to the
// string in one append when it is full and when the sink ends. A sink of its
// own for libstdc++ as well, even one that only passed writes on, made GCC's
// writer slower.
#if defined(_LIBCPP_VERSION)
class Sink {
 public:
  explicit Sink(std::string& out) : out_(out) {}
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  ~Sink() { flush(); }

  void put(char c) {
    if (cur_ == end_) flush();
    *cur_++ = c;
  }
  void put(const char* text, std::size_t n) {
    if (static_cast<std::size_t>(end_ - cur_) < n) {
      flush();
      if (n > sizeof buffer_) {
        out_.append(text, n);
        return;
      }
    }
    std::memcpy(cur_, text, n);
    cur_ += n;
  }

 private:
  void flush() {
    out_.append(buffer_, static_cast<std::size_t>(cur_ - buffer_));
    cur_ = buffer_;
  }

  std::string& out_;
  char buffer_[512];
  char* cur_ = buffer_;
  char* const end_ = buffer_ + sizeof buffer_;
};

inline void put(Sink& out, char c) { out.put(c); }
inline void put(Sink& out, const char* text, std::size_t n) { out.put(text, n); }
void write_string(std::string_view text, Sink& out);
#else
using Sink = std::string;
#endif

inline void put(std::string& out, char c) { out.push_back(c); }
inline void put(std::string& out, const char* text, std::size_t n) { out.append(text, n); }

// A JSON value already written as compact text: the end of `buffer` from
// `offset` on. The bytes before it are room that the writer of an enclosing
// text (the result envelope) fills with its own opening, so that the value is
// never copied.
class Text {
 public:
  explicit Text(const Value& value) { write(value, buffer_); }
  Text(std::string buffer, std::size_t offset) : buffer_(std::move(buffer)), offset_(offset) {}

  std::string_view text() const { return std::string_view(buffer_).substr(offset_); }
  std::size_t offset() const { return offset_; }
  std::string& buffer() { return buffer_; }

 private:
  std::string buffer_;
  std::size_t offset_ = 0;
};

inline std::string to_text(const Text& text) { return std::string(text.text()); }

}  // namespace quillon_bo_core::json
