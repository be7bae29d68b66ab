// Reading whole texts: into a JSON value (json::parse) or into a record by
// its table (json::decode). Both give the value or a Failure, whose
// to_text(text) writes "{message} at line {L} column {C}"; line and column
// are worked out only then, the reader itself never counts lines.
//
//   json::Decoded<HttpResponse> r = json::decode<HttpResponse>(text);
//   if (!r.ok()) return "invalid payload: " + r.failure().to_text(text);
//   use(r.value().status);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "json/field_reader.hpp"
#include "json/messages.hpp"
#include "json/record.hpp"
#include "json/table_traits.hpp"
#include "json/value.hpp"
#include "result.hpp"

namespace quillon_bo_core::json {

// The outcome of reading a text: a T or the Failure.
template <class T>
using Decoded = Result<T, Failure>;

// Reads the whole text as one JSON value: white space (space, tab, line
// feed, carriage return) around it, nothing else after it, at most 127
// containers open at once. Numbers keep their text, except that -0 is 0;
// of repeated member names the last one wins. Strings are decoded (escapes
// resolved, \u surrogates paired).
Decoded<Value> parse(std::string_view text);

// Reads the whole text as the record T: an object (members in any order,
// unknown ones skipped, repeated ones refused) or an array (the fields in
// declared order), with the exact messages and positions of the reader.
//
// A record with std::string_view fields borrows its strings: it is decoded
// with an arena, and its strings view the text, or the arena for those that
// had escapes. Both must outlive the record.
template <Record T>
Decoded<T> decode(std::string_view text);
template <Record T>
Decoded<T> decode(std::string_view text, Arena& arena);

}  // namespace quillon_bo_core::json

namespace quillon_bo_core::json::detail {

template <class M>
QB_CLANG_INLINE bool read_field_value(FieldReader& r, M& out);

template <class T, class F>
void assign_absent(T& out, const F& field) {
  using M = typename F::Type;
  if constexpr (std::is_same_v<std::remove_cv_t<decltype(field.default_value)>, std::monostate>) {
    out.*field.member = M{};
  } else {
    out.*field.member = M(field.default_value);
  }
}

template <class T, class Table, std::size_t... I>
bool read_field_at(FieldReader& r, T& out, const Table& table, std::size_t index,
                   std::index_sequence<I...>) {
  bool ok = true;
  (void)((index == I ? (ok = read_field_value(r, out.*std::get<I>(table.fields).member), true)
                     : false) ||
         ...);
  return ok;
}

// Whether `name` is the wire name `field`. The names are short constants, so
// comparing in line, length first, beats a call to memcmp per field.
[[gnu::always_inline]] inline bool same_name(std::string_view field, std::string_view name) {
  if (field.size() != name.size()) return false;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != name[i]) return false;
  }
  return true;
}

template <class T, std::size_t... I>
std::size_t field_index(std::string_view name, std::index_sequence<I...>) {
  constexpr auto& table = table_of<T>;
  std::size_t index = table.size;
  (void)((same_name(std::get<I>(table.fields).name, name) ? (index = I, true) : false) || ...);
  return index;
}

// At the closing brace: the first required field not given, in declared
// order, fails; the others take their absent value.
template <class T, class Table, std::size_t... I>
bool complete_object(FieldReader& r, T& out, const Table& table, const bool* seen,
                     std::index_sequence<I...>) {
  bool ok = true;
  (
      [&] {
        const auto& field = std::get<I>(table.fields);
        if (!ok || seen[I]) return;
        using F = std::remove_cvref_t<decltype(field)>;
        if constexpr (F::presence == Presence::required) {
          ok = r.missing_field(field.name);
        } else {
          assign_absent(out, field);
        }
      }(),
      ...);
  return ok;
}

template <class T, class Table>
bool read_object_form(FieldReader& r, T& out, const Table& table) {
  constexpr std::size_t n = Table::size;
  constexpr auto indices = std::make_index_sequence<n>{};
  if (!r.enter()) return false;
  bool seen[n] = {};
  bool more = false;
  if (!r.object_first(more)) return false;
  while (more) {
    std::string_view name;
    if (!r.read_name(name)) return false;
    const std::size_t index = field_index<T>(name, indices);
    if (index < n && seen[index]) return r.duplicate_field(name);
    if (!r.object_colon()) return false;
    if (index < n) {
      seen[index] = true;
      if (!read_field_at(r, out, table, index, indices)) return false;
    } else if (!r.skip_value()) {
      return false;
    }
    if (!r.object_next(more)) return false;
  }
  r.leave();
  return complete_object(r, out, table, seen, indices);
}

// The elements are the fields in declared order. Once the array has closed,
// the remaining fields take their defaults, up to the first without one.
template <class T, class Table, std::size_t... I>
bool read_array_form(FieldReader& r, T& out, const Table& table, std::index_sequence<I...>) {
  if (!r.enter()) return false;
  bool more = true;
  bool ok = true;
  (
      [&] {
        if (!ok) return;
        const auto& field = std::get<I>(table.fields);
        using F = std::remove_cvref_t<decltype(field)>;
        if (more && !r.array_next(I == 0, more)) {
          ok = false;
        } else if (more) {
          ok = read_field_value(r, out.*field.member);
        } else if constexpr (F::presence == Presence::defaulted) {
          assign_absent(out, field);
        } else {
          ok = r.invalid_length(I, table.name, Table::size);
        }
      }(),
      ...);
  if (!ok) return false;
  if (more && !r.array_end()) return false;
  r.leave();
  return true;
}

template <class T>
bool read_record(FieldReader& r, T& out) {
  constexpr auto& table = table_of<T>;
  using Table = std::remove_cvref_t<decltype(table)>;
  const int c = r.peek();
  if (c == '{') return read_object_form(r, out, table);
  if (c == '[') return read_array_form(r, out, table, std::make_index_sequence<Table::size>{});
  return r.not_a_record(table.name);
}

template <class M>
QB_CLANG_INLINE bool read_field_value(FieldReader& r, M& out) {
  if constexpr (std::is_same_v<M, std::string>) {
    return r.read_text(out);
  } else if constexpr (std::is_same_v<M, std::string_view>) {
    return r.read_view(out);
  } else if constexpr (std::is_same_v<M, std::uint16_t>) {
    return r.read_u16(out);
  } else if constexpr (std::is_same_v<M, std::int64_t>) {
    return r.read_i64(out);
  } else if constexpr (is_optional<M>) {
    bool was_null = false;
    if (!r.read_null(was_null)) return false;
    if (was_null) {
      out.reset();
      return true;
    }
    return read_field_value(r, out.emplace());
  } else if constexpr (Enumeration<M>) {
    constexpr auto& names = enum_names_of<M>;
    std::size_t index = 0;
    if (!r.read_enum(names.data(), names.size(), index)) return false;
    out = enum_of<M>.names[index].value;
    return true;
  } else if constexpr (Record<M>) {
    return read_record(r, out);
  } else {
    static_assert(always_false<M>, "no decoder for this field type");
    return false;
  }
}

// Whether a field of type M, or of a record inside it, borrows its text.
// Kept to few instantiations per level: records nest 127 deep.
template <class T, std::size_t... I>
constexpr bool any_field_borrows(std::index_sequence<I...>);

template <class M>
inline constexpr bool borrows_text = false;
template <>
inline constexpr bool borrows_text<std::string_view> = true;
template <class M>
inline constexpr bool borrows_text<std::optional<M>> = borrows_text<M>;
template <class M>
requires Record<M>
inline constexpr bool borrows_text<M> =
    any_field_borrows<M>(std::make_index_sequence<table_of<M>.size>{});

template <class T, std::size_t... I>
constexpr bool any_field_borrows(std::index_sequence<I...>) {
  using Fields = std::remove_cvref_t<decltype(table_of<T>.fields)>;
  return (borrows_text<typename std::tuple_element_t<I, Fields>::Type> || ...);
}

template <class T>
Decoded<T> decode_with(std::string_view text, Arena* arena) {
  FieldReader reader(text, arena);
  // Read where it is returned: a record of several texts costs a move of
  // each of them otherwise.
  Decoded<T> decoded(std::in_place);
  if (!detail::read_record(reader, decoded.value()) || !reader.finish()) {
    decoded = Decoded<T>(reader.take_failure());
  }
  return decoded;
}

}  // namespace quillon_bo_core::json::detail

namespace quillon_bo_core::json {

template <Record T>
Decoded<T> decode(std::string_view text) {
  static_assert(!detail::borrows_text<T>, "a record that borrows its strings needs an arena");
  return detail::decode_with<T>(text, nullptr);
}

template <Record T>
Decoded<T> decode(std::string_view text, Arena& arena) {
  return detail::decode_with<T>(text, &arena);
}

}  // namespace quillon_bo_core::json
