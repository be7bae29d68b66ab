#include "http.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "runtime.hpp"

namespace quillon_bo_core {

std::string_view method_name(Method method) {
  switch (method) {
    case Method::GET:
      return "GET";
    case Method::POST:
      return "POST";
    case Method::PATCH:
      return "PATCH";
  }
  runtime::fault("method out of range");
}

namespace {

bool name_less(const json::Member& m, std::string_view name) {
  return std::string_view(m.name) < name;
}

}  // namespace

void Headers::put(std::string name, std::string value) {
  // Headers are usually put in order, so the end is tried first.
  auto it =
      members_.empty() || std::string_view(members_.back().name) < name
          ? members_.end()
          : std::lower_bound(members_.begin(), members_.end(), std::string_view(name), name_less);
  if (it != members_.end() && it->name == name) {
    it->value = std::move(value);
  } else {
    members_.insert(it, json::Member{std::move(name), std::move(value)});
  }
}

const std::string* Headers::find(std::string_view name) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), name, name_less);
  return it != members_.end() && it->name == name ? it->value.get_if<std::string>() : nullptr;
}

// Sorted and unique already, so the object takes the members as they are.
json::Object Headers::to_object() && { return json::Object::from_members(std::move(members_)); }

json::Value HttpRequest::to_value() const& { return HttpRequest(*this).to_value(); }

json::Value HttpRequest::to_value() && {
  // The members in their sorted order, handed over as they are: one allocation.
  std::vector<json::Member> members;
  members.reserve(4);
  members.push_back({"body", body ? json::Value(std::move(*body)) : json::Value(nullptr)});
  members.push_back({"headers", std::move(headers).to_object()});
  members.push_back({"method", method_name(method)});
  members.push_back({"url", std::move(url)});
  return json::Object::from_members(std::move(members));
}

}  // namespace quillon_bo_core
