// Writing values by their type: records by their tables, and the kinds their
// fields have. Two forms from the same rules:
//
//   json::encode(x, out)   appends x as compact JSON text, members in sorted
//                          order, with the writer's escapes; no JSON value
//                          is built on the way;
//   json::to_value(x)      makes x a JSON value.
//
// A record becomes an object with every field under its wire name (absent
// optionals as null). std::string and anything convertible to
// std::string_view are strings; bool; any integer; enumerations by name;
// std::optional (null when empty); vectors as arrays; maps whose keys are
// strings (such as std::map<std::string, std::string>) and sorted member
// lists (json::detail::SortedMembers) as objects; a json::Value as itself.
// Presence does not matter for writing, and a record that is only written
// may use field types the decoder does not read (maps, bool, other
// integers): the decoder is instantiated only for records that are decoded.
#pragma once

#include <charconv>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/record.hpp"
#include "json/table_traits.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"
#include "runtime.hpp"

namespace quillon_bo_core::json {

namespace detail {

template <class E>
std::string_view enum_name(E value) {
  for (const auto& entry : enum_of<E>.names) {
    if (entry.value == value) return entry.name;
  }
  runtime::fault("enumeration value without a name in its table");
}

template <class T>
void encode_integer(T value, Sink& out) {
  char digits[24];
  const auto r = std::to_chars(digits, digits + sizeof digits, value);
  put(out, digits, static_cast<std::size_t>(r.ptr - digits));
}

}  // namespace detail

template <class T>
void encode(const T& value, Sink& out);

// The members of a record in the byte order of their names, each written
// with its constant key and its value.
template <Record T, std::size_t... I>
void encode_record(const T& value, Sink& out, std::index_sequence<I...>) {
  constexpr auto& table = detail::table_of<T>;
  constexpr auto& order = detail::written_order<T>;
  (
      [&] {
        constexpr auto& key = detail::member_key<T, I>;
        put(out, key.data(), key.size());
        encode(value.*std::get<order[I]>(table.fields).member, out);
      }(),
      ...);
  put(out, '}');
}

template <class T>
void encode(const T& value, Sink& out) {
  if constexpr (std::is_same_v<T, Value>) {
    write(value, out);
  } else if constexpr (std::is_same_v<T, bool>) {
    put(out, value ? "true" : "false", value ? 4 : 5);
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    write_string(std::string_view(value), out);
  } else if constexpr (std::is_integral_v<T>) {
    detail::encode_integer(value, out);
  } else if constexpr (detail::is_optional<T>) {
    if (value) {
      encode(*value, out);
    } else {
      put(out, "null", 4);
    }
  } else if constexpr (Enumeration<T>) {
    write_string(detail::enum_name(value), out);
  } else if constexpr (Record<T>) {
    encode_record(value, out, std::make_index_sequence<detail::table_of<T>.size>{});
  } else if constexpr (detail::is_text_map<T>) {
    put(out, '{');
    bool first = true;
    for (const auto& [name, item] : value) {
      if (!first) put(out, ',');
      first = false;
      write_string(name, out);
      put(out, ':');
      encode(item, out);
    }
    put(out, '}');
  } else if constexpr (detail::SortedMembers<T>) {
    put(out, '{');
    bool first = true;
    for (const auto& member : value) {
      if (!first) put(out, ',');
      first = false;
      write_string(member.name, out);
      put(out, ':');
      encode(member.value, out);
    }
    put(out, '}');
  } else if constexpr (detail::is_vector<T>) {
    put(out, '[');
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i) put(out, ',');
      encode(value[i], out);
    }
    put(out, ']');
  } else {
    static_assert(detail::always_false<T>, "no JSON form for this type");
  }
}

#if defined(_LIBCPP_VERSION)
// Appends `value` to `out`, through a sink (see json/writer.hpp).
template <class T>
void encode(const T& value, std::string& out) {
  Sink sink(out);
  encode(value, sink);
}
#endif

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
    return Value(detail::enum_name(value));
  } else if constexpr (Record<T>) {
    constexpr auto& table = detail::table_of<T>;
    constexpr auto& order = detail::written_order<T>;
    std::vector<Member> members;
    members.reserve(table.size);
    // In written order, so the object takes them as they are.
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (members.push_back(Member{std::string(std::get<order[I]>(table.fields).name),
                                to_value(value.*std::get<order[I]>(table.fields).member)}),
       ...);
    }
    (std::make_index_sequence<table.size>{});
    return Object::from_members(std::move(members));
  } else if constexpr (detail::is_text_map<T> || detail::SortedMembers<T>) {
    std::vector<Member> members;
    members.reserve(value.size());
    if constexpr (detail::is_text_map<T>) {
      for (const auto& [name, item] : value) members.push_back(Member{name, to_value(item)});
    } else {
      for (const auto& m : value) {
        members.push_back(Member{std::string(m.name), to_value(m.value)});
      }
    }
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
