#include "http.hpp"

#include <algorithm>
#include <utility>

namespace quillon_bo_core {

namespace {

bool name_less(const Header& h, std::string_view name) { return std::string_view(h.name) < name; }

}  // namespace

Headers::Headers(std::initializer_list<Header> headers) {
  headers_.reserve(headers.size());
  for (const Header& h : headers) put(h.name, h.value);
}

void Headers::put(std::string name, std::string value) {
  // Headers are usually put in order, so the end is tried first.
  auto it =
      headers_.empty() || std::string_view(headers_.back().name) < name
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
