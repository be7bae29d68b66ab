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
  headers_.reserve(headers.size());
  for (const Header& h : headers) put(h.name, h.value);
}

void Headers::put(std::string name, std::string value) {
  // Headers are usually put in order, so the end is tried first.
  auto it =
      headers_.empty() || bytes_less(headers_.back().name, name)
          ? headers_.end()
          : std::lower_bound(headers_.begin(), headers_.end(), std::string_view(name), name_less);
  if (it != headers_.end() && it->name == name) {
    it->value = std::move(value);
  } else {
    headers_.insert(it, Header{std::move(name), std::move(value)});
  }
}

const std::string* Headers::find(std::string_view name) const {
  auto it = std::lower_bound(headers_.begin(), headers_.end(), name, name_less);
  return it != headers_.end() && it->name == name ? &it->value : nullptr;
}

}  // namespace quillon_bo_core
