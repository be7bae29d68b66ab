#include "json/value.hpp"

#include <algorithm>

namespace quillon_bo_core::json {

namespace {

bool name_less(const Member& m, std::string_view name) { return std::string_view(m.name) < name; }

}  // namespace

Object Object::from_members(std::vector<Member> members) {
  Object object;
  // Text this system wrote is sorted already: then one pass is all it takes.
  if (std::adjacent_find(members.begin(), members.end(), [](const Member& a, const Member& b) {
        return !(a.name < b.name);
      }) == members.end()) {
    object.members_ = std::move(members);
    return object;
  }
  // Stable sort keeps repeated names in input order, so the last of each run wins.
  std::stable_sort(members.begin(), members.end(),
                   [](const Member& a, const Member& b) { return a.name < b.name; });
  object.members_.reserve(members.size());
  for (auto& m : members) {
    if (!object.members_.empty() && object.members_.back().name == m.name) {
      object.members_.back().value = std::move(m.value);
    } else {
      object.members_.push_back(std::move(m));
    }
  }
  return object;
}

void Object::put(std::string name, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), std::string_view(name), name_less);
  if (it != members_.end() && it->name == name) {
    it->value = std::move(value);
  } else {
    members_.insert(it, Member{std::move(name), std::move(value)});
  }
}

const Value* Object::find(std::string_view name) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), name, name_less);
  return it != members_.end() && it->name == name ? &it->value : nullptr;
}

}  // namespace quillon_bo_core::json
