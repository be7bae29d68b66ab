// JSON values, the compact writer, the reader, and table-driven records.
//
// Reading. `json::parse(text)` reads one whole JSON text into a Value;
// `json::decode<T>(text)` reads one whole JSON text into a record T described
// by a short table. Both give a `Decoded<T>`: the value, or a `Failure` (a
// message and a byte offset). `failure.to_text(text)` writes it as
// "{message} at line {L} column {C}"; line and column are worked out only
// then, the reader itself never counts lines.
//
// Records. A record is a plain, default-constructible struct plus a table,
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
// The member's type is its kind: std::string (a JSON string), std::uint16_t,
// std::int64_t, std::optional<X> (null = none, anything else is an X), an
// enumeration with an `enum_table`, or another record with a `record_table`
// (decoded recursively; it takes one unit of the nesting budget of 128).
// Members of an object that are not fields are skipped (checked for syntax
// only, with no depth limit). Worked example:
//
//   struct HttpResponse {
//     std::uint16_t status = 0;
//     std::string body;
//   };
//   constexpr auto record_table(json::Tag<HttpResponse>) {
//     return json::record("HttpResponse",
//                         json::required("status", &HttpResponse::status),
//                         json::required("body", &HttpResponse::body));
//   }
//
//   json::Decoded<HttpResponse> r = json::decode<HttpResponse>(text);
//   if (!r.ok()) return "invalid payload: " + r.failure().to_text(text);
//   use(r.value().status);
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
//
// Writing. `json::to_value(record)` makes the object of a record from the
// same table: every field under its wire name, std::nullopt as null, strings,
// bool, any integer, enumerations by name, vectors as arrays, and maps whose
// keys are strings (such as std::map<std::string, std::string>) as objects.
// Presence does not matter for writing, and a record that is only written may
// use field types the decoder does not read (maps, bool, other integers):
// the decoder is instantiated only for records that are decoded. A hand
// written `to_value` is just as good where a record needs something else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quillon_bo_core::json {

class Value;

// A number is kept as decimal text so that no precision is ever lost; the
// integers the system makes itself are plain decimal.
struct Number {
  std::string text;
  friend bool operator==(const Number&, const Number&) = default;
};

using Array = std::vector<Value>;

struct Member;

// Members unique by name and kept sorted by byte order of their UTF-8 names.
class Object {
 public:
  // The special members are defined below, once Member is complete: a vector
  // of an incomplete type may be declared but not yet copied or destroyed.
  Object();
  Object(const Object&);
  Object(Object&&) noexcept;
  Object& operator=(const Object&);
  Object& operator=(Object&&) noexcept;
  ~Object();

  // Sorts `members` by name; of repeated names the last one given wins.
  // O(n log n), so a decoder can collect members first and hand them over.
  static Object from_members(std::vector<Member> members);

  // Adds the member, or replaces the value of a member of that name.
  void put(std::string name, Value value);
  const Value* find(std::string_view name) const;

  // Defined below, once Member is complete.
  std::size_t size() const;
  bool empty() const;
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;

  friend bool operator==(const Object&, const Object&);

 private:
  std::vector<Member> members_;
};

class Value {
 public:
  using Storage = std::variant<std::nullptr_t, bool, Number, std::string, Array, Object>;

  Value() : storage_(nullptr) {}
  Value(std::nullptr_t) : storage_(nullptr) {}
  Value(bool b) : storage_(b) {}
  Value(Number n) : storage_(std::move(n)) {}
  Value(std::string s) : storage_(std::move(s)) {}
  Value(std::string_view s) : storage_(std::string(s)) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(Array a) : storage_(std::move(a)) {}
  Value(Object o) : storage_(std::move(o)) {}
  // Integers are held in plain decimal, as the system writes them.
  static Value integer(std::int64_t i) { return Value(Number{std::to_string(i)}); }
  static Value unsigned_integer(std::uint64_t u) { return Value(Number{std::to_string(u)}); }
  // Prevent accidental int -> bool conversions.
  template <class T>
  requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)Value(T) = delete;

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(storage_);
  }
  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&storage_);
  }
  template <class T>
  T* get_if() {
    return std::get_if<T>(&storage_);
  }
  const Storage& storage() const { return storage_; }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Storage storage_;
};

struct Member {
  std::string name;
  Value value;
  friend bool operator==(const Member&, const Member&) = default;
};

inline bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }
inline Object::Object() = default;
inline Object::Object(const Object&) = default;
inline Object::Object(Object&&) noexcept = default;
inline Object& Object::operator=(const Object&) = default;
inline Object& Object::operator=(Object&&) noexcept = default;
inline Object::~Object() = default;
inline std::size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline std::vector<Member>::const_iterator Object::begin() const { return members_.begin(); }
inline std::vector<Member>::const_iterator Object::end() const { return members_.end(); }

// Appends `value` as compact JSON text: no white space, members in their
// sorted order, strings escaped exactly as the result envelope requires.
void write(const Value& value, std::string& out);
std::string to_text(const Value& value);
// Appends `text` as a quoted JSON string with the same escapes.
void write_string(std::string_view text, std::string& out);

// ---------------------------------------------------------------------------
// Reading

// Why a text did not decode: the message and the byte offset it refers to.
struct Failure {
  std::string message;
  std::size_t offset = 0;

  // "{message} at line {L} column {C}", with line and column of `offset` in
  // `text` (the text that was decoded): line = 1 + the line feeds before the
  // offset's line, column = bytes from the start of that line to the offset.
  std::string to_text(std::string_view text) const;
  friend bool operator==(const Failure&, const Failure&) = default;
};

// The outcome of reading a text: a T or a Failure.
template <class T>
class [[nodiscard]] Decoded {
 public:
  Decoded(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  Decoded(Failure failure) : storage_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const { return storage_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  const Failure& failure() const { return std::get<1>(storage_); }

 private:
  std::variant<T, Failure> storage_;
};

// Reads the whole text as one JSON value: white space (space, tab, line
// feed, carriage return) around it, nothing else after it, at most 127
// containers open at once. Numbers keep their text, except that -0 is 0;
// of repeated member names the last one wins. Strings are decoded (escapes
// resolved, \u surrogates paired).
Decoded<Value> parse(std::string_view text);

// ---------------------------------------------------------------------------
// Record and enumeration tables

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

// Reads the whole text as the record T: an object (members in any order,
// unknown ones skipped, repeated ones refused) or an array (the fields in
// declared order), with the exact messages and positions of the reader.
template <Record T>
Decoded<T> decode(std::string_view text);

// The record (or any writable value, see the top of this file) as a JSON
// value.
template <class T>
Value to_value(const T& value);

}  // namespace quillon_bo_core::json

#include "json_detail.hpp"
