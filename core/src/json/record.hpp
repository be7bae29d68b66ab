// Record and enumeration tables: a record is a plain, default-constructible
// struct plus a table naming its fields on the wire; the decoder
// (json/decode.hpp) reads it by the table and the encoder (json/encode.hpp)
// writes it by the same table.
//
// A record is a plain, default-constructible struct plus a table,
// a constexpr function `record_table(json::Tag<T>)` declared beside the
// struct (in the struct's own namespace; it is found by argument-dependent
// lookup). The table gives the record's name (used in "struct X" and
// "struct X with N elements") and its fields in declared order. Each field is
// one of
//
//   json::required(wire_name, &T::member)
//       must be given: absent from an object -> "missing field `wire_name`";
//       a missing array element -> "invalid length ...".
//   json::optional(wire_name, &T::member)           // member is std::optional
//       absent from an object or null -> std::nullopt; in the array form the
//       element must still be there (null accepted).
//   json::defaulted(wire_name, &T::member, value)   // value may be left out:
//       absent from an object, or left off the end of the array form ->
//       `value` (or a value-initialised member when no value is given).
//       Null is not absent: it is decoded as the member's kind.
//       For an optional member that may be left off the array too, write
//       json::defaulted(name, &T::member) (absent -> std::nullopt).
//
// The member's type is its kind: std::string (a JSON string; std::string_view
// for one borrowed from the text or the decoder's arena), std::uint16_t,
// std::int64_t, std::optional<X> (null = none, anything else is an X), an
// enumeration with an `enum_table`, or another record with a `record_table`
// (decoded recursively; it takes one unit of the nesting budget of 128).
// Members of an object that are not fields are skipped (checked for syntax
// only, with no depth limit). Worked example:
//
//   struct HttpResponse {
//     std::uint16_t status = 0;
//     std::string_view body;
//   };
//   constexpr auto record_table(json::Tag<HttpResponse>) {
//     return json::record("HttpResponse",
//                         json::required("status", &HttpResponse::status),
//                         json::required("body", &HttpResponse::body));
//   }
//
// A class template gets its table the same way:
//
//   template <class Input>
//   struct Parse { Input input; HttpResponse response; };
//   template <class Input>
//   constexpr auto record_table(json::Tag<Parse<Input>>) {
//     using P = Parse<Input>;
//     return json::record("Parse", json::required("input", &P::input),
//                         json::required("response", &P::response));
//   }
//
// Enumerations of plain names are decoded from "name" or {"name":null} and
// written as "name"; their table lists the names in declared order:
//
//   enum class Environment { development, sandbox, production };
//   constexpr auto enum_table(json::Tag<Environment>) {
//     return json::enumeration<Environment>({{"development", Environment::development},
//                                            {"sandbox", Environment::sandbox},
//                                            {"production", Environment::production}});
//   }
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>

namespace quillon_bo_core::json {

// The tag through which tables are found: `record_table(Tag<T>)`,
// `enum_table(Tag<T>)`.
template <class T>
struct Tag {};

enum class Presence { required, optional, defaulted };

// One field of a record table; made by required(), optional(), defaulted().
template <class R, class M, Presence P, class D = std::monostate>
struct Field {
  using Record = R;
  using Type = M;
  static constexpr Presence presence = P;
  std::string_view name;
  M R::*member;
  D default_value;
};

template <class R, class M>
constexpr Field<R, M, Presence::required> required(std::string_view name, M R::*member) {
  return {name, member, {}};
}

template <class T>
inline constexpr bool is_std_optional = false;
template <class T>
inline constexpr bool is_std_optional<std::optional<T>> = true;

template <class R, class M>
constexpr Field<R, M, Presence::optional> optional(std::string_view name, M R::*member) {
  static_assert(is_std_optional<M>, "json::optional needs a std::optional member");
  return {name, member, {}};
}

// Absent -> M(value).
template <class R, class M, class D>
constexpr Field<R, M, Presence::defaulted, D> defaulted(std::string_view name, M R::*member,
                                                        D value) {
  return {name, member, value};
}

// Absent -> M{}.
template <class R, class M>
constexpr Field<R, M, Presence::defaulted> defaulted(std::string_view name, M R::*member) {
  return {name, member, {}};
}

template <class R, class... Fields>
struct RecordTable {
  std::string_view name;
  std::tuple<Fields...> fields;
  static constexpr std::size_t size = sizeof...(Fields);
};

template <class First, class... Rest>
constexpr auto record(std::string_view name, First first, Rest... rest) {
  using R = typename First::Record;
  static_assert((std::is_same_v<R, typename Rest::Record> && ...),
                "every field of a record table must belong to the same record");
  return RecordTable<R, First, Rest...>{name, {first, rest...}};
}

template <class E>
struct EnumName {
  std::string_view name;
  E value;
};

template <class E, std::size_t N>
struct EnumTable {
  std::array<EnumName<E>, N> names;
};

template <class E, std::size_t N>
constexpr EnumTable<E, N> enumeration(const EnumName<E> (&names)[N]) {
  EnumTable<E, N> table{};
  for (std::size_t i = 0; i < N; ++i) table.names[i] = names[i];
  return table;
}

// Types that have a table.
template <class T>
concept Record = requires {
  record_table(Tag<T>{});
};
template <class T>
concept Enumeration = std::is_enum_v<T> && requires {
  enum_table(Tag<T>{});
};

}  // namespace quillon_bo_core::json
