#include "http.hpp"

#include <algorithm>
#include <utility>

namespace quillon_bo_core {

namespace {

// Byte order, compared in line: names are short and mostly differ in their
// first byte, where a call to memcmp per comparison cost more than the work.
bool bytes_less(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

bool name_less(const Header& h, std::string_view name) { return bytes_less(h.name, name); }

}  // namespace

Headers::Headers(std::initializer_list<Header> headers) {
  for (const Header& h : headers) put(h.name, h.value);
}

void Headers::put(std::string_view name, std::string_view value) {
  Header* const first = many_.empty() ? few_.data() : many_.data();
  Header* const last = first + size_;
  // Headers are usually put in order, so the end is tried first.
  Header* const at = size_ == 0 || bytes_less(last[-1].name, name)
                         ? last
                         : std::lower_bound(first, last, name, name_less);
  if (at != last && at->name == name) {
    at->value = value;
    return;
  }
  const auto index = static_cast<std::size_t>(at - first);
  if (many_.empty() && size_ < in_place) {
    std::move_backward(at, last, last + 1);
    *at = Header{name, value};
  } else {
    if (many_.empty()) many_.assign(first, last);
    many_.insert(many_.begin() + static_cast<std::ptrdiff_t>(index), Header{name, value});
  }
  ++size_;
}

const std::string_view* Headers::find(std::string_view name) const {
  const Header* it = std::lower_bound(begin(), end(), name, name_less);
  return it != end() && it->name == name ? &it->value : nullptr;
}

}  // namespace quillon_bo_core
