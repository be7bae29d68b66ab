// Writing records by their tables. `json::to_value(record)` makes the
// object of a record: every field under its wire name, std::nullopt as null,
// strings, bool, any integer, enumerations by name, vectors as arrays, and
// maps whose keys are strings (such as std::map<std::string, std::string>)
// as objects. Presence does not matter for writing, and a record that is only
// written may use field types the decoder does not read (maps, bool, other
// integers): the decoder is instantiated only for records that are decoded.
#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/record.hpp"
#include "json/table_traits.hpp"
#include "json/value.hpp"
#include "runtime.hpp"

namespace quillon_bo_core::json {

template <class T>
Value to_value(const T& value) {
  if constexpr (std::is_same_v<T, Value>) {
    return value;
  } else if constexpr (std::is_same_v<T, bool>) {
    return Value(value);
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return Value(std::string_view(value));
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return Value::integer(value);
  } else if constexpr (std::is_integral_v<T>) {
    return Value::unsigned_integer(value);
  } else if constexpr (detail::is_optional<T>) {
    return value ? to_value(*value) : Value(nullptr);
  } else if constexpr (Enumeration<T>) {
    for (const auto& entry : detail::enum_of<T>.names) {
      if (entry.value == value) return Value(entry.name);
    }
    runtime::fault("enumeration value without a name in its table");
  } else if constexpr (Record<T>) {
    Object object;
    std::apply(
        [&](const auto&... field) {
          (object.put(std::string(field.name), to_value(value.*field.member)), ...);
        },
        detail::table_of<T>.fields);
    return object;
  } else if constexpr (detail::is_text_map<T>) {
    std::vector<Member> members;
    members.reserve(value.size());
    for (const auto& [name, item] : value) members.push_back(Member{name, to_value(item)});
    return Object::from_members(std::move(members));
  } else if constexpr (detail::is_vector<T>) {
    Array items;
    items.reserve(value.size());
    for (const auto& item : value) items.push_back(to_value(item));
    return items;
  } else {
    static_assert(detail::always_false<T>, "no JSON form for this type");
    return Value();
  }
}

}  // namespace quillon_bo_core::json
