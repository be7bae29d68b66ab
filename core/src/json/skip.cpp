#include "json/cursor.hpp"

#include <vector>

#include "json/cursor_inl.hpp"

namespace quillon_bo_core::json::detail {

namespace {

// The open containers of a skipped value, one bit each (1 = object): the
// first 64 in a register, the rest in a vector that grows as deep as the
// text goes. `in_object` is the innermost one, kept at hand.
class OpenContainers {
 public:
  std::size_t depth() const { return depth_; }
  bool in_object() const { return in_object_; }
  void push(bool object) {
    const std::uint64_t bit = std::uint64_t{1} << (depth_ & 63);
    std::uint64_t& word = depth_ < 64 ? head_ : spilled(depth_);
    word = object ? word | bit : word & ~bit;
    ++depth_;
    in_object_ = object;
  }
  // Answers whether a container is still open.
  bool pop() {
    if (--depth_ == 0) return false;
    const std::size_t at = depth_ - 1;
    const std::uint64_t word = at < 64 ? head_ : spill_[(at >> 6) - 1];
    in_object_ = ((word >> (at & 63)) & 1) != 0;
    return true;
  }

 private:
  std::uint64_t& spilled(std::size_t at) {
    const std::size_t index = (at >> 6) - 1;
    if (spill_.size() <= index) spill_.push_back(0);
    return spill_[index];
  }
  std::uint64_t head_ = 0;
  std::vector<std::uint64_t> spill_;
  std::size_t depth_ = 0;
  bool in_object_ = false;
};

}  // namespace

// Skips a value without building anything and without recursion. The
// cursor lives in a local for the whole loop and goes back to cur_ at the end.
bool Cursor::skip_value() {
  const char* p = cur_;
  const char* const end = end_;
  OpenContainers open;
  const auto space = [&] {
    while (p < end && is_space(static_cast<unsigned char>(*p))) ++p;
  };

  for (;;) {
    // A value must start here.
    space();
    if (p == end) return fail_at(end, Fault::eof_value);
    switch (*p) {
      case '"':
        p = skip_string(p + 1);
        if (p == nullptr) return false;
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
        p = scan_number(p, s);
        if (p == nullptr) return false;
        break;
      }
      case 't':
        p = literal(p, "true");
        if (p == nullptr) return false;
        break;
      case 'f':
        p = literal(p, "false");
        if (p == nullptr) return false;
        break;
      case 'n':
        p = literal(p, "null");
        if (p == nullptr) return false;
        break;
      case '[':
        ++p;
        space();
        if (p == end) return fail_at(end, Fault::eof_list);
        if (*p == ']') {
          ++p;
          break;
        }
        open.push(false);
        continue;
      case '{':
        ++p;
        space();
        if (p == end) return fail_at(end, Fault::eof_object);
        if (*p == '}') {
          ++p;
          break;
        }
        if (*p != '"') return fail_at(p + 1, Fault::key_must_be_string);
        p = skip_name(p);
        if (p == nullptr) return false;
        open.push(true);
        continue;
      default:
        return fail_at(p + 1, Fault::expected_value);
    }
    // A value is complete: close what it completes, up to the next value.
    for (;;) {
      if (open.depth() == 0) {
        cur_ = p;
        return true;
      }
      space();
      if (p == end) {
        return fail_at(end, open.in_object() ? Fault::eof_object : Fault::eof_list);
      }
      const char c = *p;
      if (open.in_object()) {
        if (c == '}') {
          ++p;
          open.pop();
          continue;
        }
        if (c != ',') return fail_at(p + 1, Fault::expected_object_end);
        ++p;
        space();
        if (p == end) return fail_at(end, Fault::eof_value);
        if (*p == '"') {
          p = skip_name(p);
          if (p == nullptr) return false;
          break;
        }
        if (*p == '}') return fail_at(p + 1, Fault::trailing_comma);
        return fail_at(p + 1, Fault::key_must_be_string);
      }
      if (c == ']') {
        ++p;
        open.pop();
        continue;
      }
      if (c != ',') return fail_at(p + 1, Fault::expected_list_end);
      ++p;
      space();
      if (p < end && *p == ']') return fail_at(p + 1, Fault::trailing_comma);
      break;  // the end of the text is the next value's to report
    }
  }
}

}  // namespace quillon_bo_core::json::detail
