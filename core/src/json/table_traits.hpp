// What the decoder and the encoder need to know about tables and member
// types. Internal to the json units.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/record.hpp"

namespace quillon_bo_core::json::detail {

template <class T>
inline constexpr bool is_optional = is_std_optional<T>;

template <class T>
inline constexpr bool is_vector = false;
template <class T, class A>
inline constexpr bool is_vector<std::vector<T, A>> = true;

template <class T>
inline constexpr bool is_text_map = false;
template <class V, class C, class A>
inline constexpr bool is_text_map<std::map<std::string, V, C, A>> = true;

// A list of members kept unique and sorted by name, such as the headers of a
// request: a type that says so with `using sorted_members = void;` and whose
// elements have `name` and `value`.
template <class T>
concept SortedMembers = requires {
  typename T::sorted_members;
};

template <class T>
inline constexpr bool always_false = false;

template <class T>
inline constexpr auto table_of = record_table(Tag<T>{});

// The field indices of a record table in the byte order of their wire names:
// the order in which the members are written.
template <class T>
inline constexpr auto written_order = [] {
  constexpr auto& table = table_of<T>;
  constexpr std::size_t n = std::tuple_size_v<std::remove_cvref_t<decltype(table.fields)>>;
  std::array<std::string_view, n> names = std::apply(
      [](const auto&... f) { return std::array<std::string_view, n>{f.name...}; }, table.fields);
  std::array<std::size_t, n> order{};
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  for (std::size_t i = 1; i < n; ++i) {
    for (std::size_t k = i; k > 0 && names[order[k]] < names[order[k - 1]]; --k) {
      std::swap(order[k], order[k - 1]);
    }
  }
  return order;
}();

// Whether a wire name can be written between quotes as it is.
constexpr bool is_plain_name(std::string_view name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') return false;
  }
  return true;
}

// What goes before the value of the I-th member in written order: `{"name":`
// for the first, `,"name":` for the others, made once at compile time.
template <class T, std::size_t I>
inline constexpr auto member_key = [] {
  constexpr std::string_view name = std::get<written_order<T>[I]>(table_of<T>.fields).name;
  static_assert(is_plain_name(name), "wire names are written without escapes");
  std::array<char, name.size() + 4> key{};
  key[0] = I == 0 ? '{' : ',';
  key[1] = '"';
  for (std::size_t i = 0; i < name.size(); ++i) key[i + 2] = name[i];
  key[name.size() + 2] = '"';
  key[name.size() + 3] = ':';
  return key;
}();

template <class E>
inline constexpr auto enum_of = enum_table(Tag<E>{});

template <class E>
inline constexpr auto enum_names_of = [] {
  constexpr auto& table = enum_of<E>;
  std::array<std::string_view, table.names.size()> names{};
  for (std::size_t i = 0; i < names.size(); ++i) names[i] = table.names[i].name;
  return names;
}();

}  // namespace quillon_bo_core::json::detail
