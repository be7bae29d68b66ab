// What the decoder and the encoder need to know about tables and member
// types. Internal to the json units.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
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

template <class T>
inline constexpr bool always_false = false;

template <class T>
inline constexpr auto table_of = record_table(Tag<T>{});

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
