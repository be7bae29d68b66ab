// The machinery behind json::decode and json::to_value: the pull reader
// (implemented in json.cpp) and the generic record decoder driven by the
// record tables. Include json.hpp, not this file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime.hpp"

namespace quillon_bo_core::json::detail {

// A cursor over one text with the nesting budget and the first failure. Every
// operation that can fail returns false after recording the failure, so that
// callers unwind with `if (!r.op()) return false;`. Offsets follow one rule:
// a fault seen by looking at a byte is placed just after that byte; a fault
// seen after a value was read is placed just after the last byte read.
class Reader {
 public:
  explicit Reader(std::string_view text)
      : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {}

  // Skips white space; the next byte without taking it, or -1 at the end.
  int peek() {
    skip_space();
    return cur_ < end_ ? static_cast<unsigned char>(*cur_) : -1;
  }

  // The whole-text rule: after the value only white space may follow.
  bool finish();
  Failure take_failure() { return std::move(failure_); }

  // Any JSON value, syntax-checked, without building anything: no recursion,
  // no depth limit, no number ranges, no surrogate pairing.
  bool skip_value();

  // Fields, each at the start of its value (white space already skipped or
  // not): the exact messages for every other kind of value found.
  bool read_text(std::string& out);
  bool read_u16(std::uint16_t& out);
  bool read_i64(std::int64_t& out);
  // Takes "null" when the value starts with 'n'; answers whether it did.
  bool read_null(bool& was_null);
  // An enumeration of plain names, "name" or {"name":null}: the index of the
  // name in `names`.
  bool read_enum(const std::string_view* names, std::size_t count, std::size_t& index);

  // Records. At '{' or '[' (as peek() told): takes it and a unit of budget.
  bool enter();
  void leave() { ++budget_; }
  // Object form: after the brace, whether a member follows (its name is
  // next) or the brace was closed.
  bool object_first(bool& more);
  // The member name, escapes resolved; valid until the next call. Leaves
  // the cursor just after the closing quote.
  bool read_name(std::string_view& name);
  bool object_colon();
  // After a member's value: whether another member follows.
  bool object_next(bool& more);
  // Array form: whether another element follows (takes the comma) or the
  // bracket closed (takes it).
  bool array_next(bool first, bool& more);
  // After the last field's element: the closing bracket, or the messages for
  // extra elements.
  bool array_end();

  // Data failures of record decoding.
  bool not_a_record(std::string_view name);
  bool missing_field(std::string_view name);
  bool duplicate_field(std::string_view name);
  bool invalid_length(std::size_t index, std::string_view name, std::size_t count);

  // Reading into a JSON value.
  bool read_value(Value& out);

 private:
  void skip_space() {
    while (cur_ < end_ && is_space(static_cast<unsigned char>(*cur_))) ++cur_;
  }
  // One comparison for the common case of a byte that is no white space.
  static bool is_space(unsigned char c) {
    return c <= ' ' && (c == ' ' || c == '\n' || c == '\t' || c == '\r');
  }

  bool fail_at(const char* at, std::string message);
  bool fail_here(std::string message) { return fail_at(cur_, std::move(message)); }
  // Just after the byte at the cursor, or at the end of the text.
  bool fail_peek(std::string message) {
    return fail_at(cur_ < end_ ? cur_ + 1 : end_, std::move(message));
  }

  // Scanners: from a position to the position after what they read, or
  // nullptr once they have recorded a failure.
  const char* literal(const char* p, const char* word);
  struct NumberScan;
  const char* scan_number(const char* p, NumberScan& scan);
  const char* hex4(const char* p, unsigned& value);
  const char* skip_escape(const char* p);
  const char* skip_string(const char* p);
  const char* skip_name(const char* p);
  // Moves the cursor to what a scanner gave, if it gave anything.
  bool take(const char* p) {
    if (p == nullptr) return false;
    cur_ = p;
    return true;
  }
  bool read_integer(std::int64_t min, std::uint64_t max, std::string_view expected,
                    std::uint64_t& magnitude, bool& negative);
  bool decode_string(std::string& out);
  bool invalid_type(std::string_view expected);
  bool read_array(Value& out);
  bool read_object(Value& out);

  const char* begin_;
  const char* cur_;
  const char* end_;
  int budget_ = 128;
  std::string scratch_;
  Failure failure_;
};

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

template <class M>
bool read_field_value(Reader& r, M& out);

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
bool read_field_at(Reader& r, T& out, const Table& table, std::size_t index,
                   std::index_sequence<I...>) {
  bool ok = true;
  (void)((index == I ? (ok = read_field_value(r, out.*std::get<I>(table.fields).member), true)
                     : false) ||
         ...);
  return ok;
}

template <class Table, std::size_t... I>
std::size_t field_index(const Table& table, std::string_view name, std::index_sequence<I...>) {
  std::size_t index = Table::size;
  (void)((std::get<I>(table.fields).name == name ? (index = I, true) : false) || ...);
  return index;
}

// At the closing brace: the first required field not given, in declared
// order, fails; the others take their absent value.
template <class T, class Table, std::size_t... I>
bool complete_object(Reader& r, T& out, const Table& table, const bool* seen,
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
bool read_object_form(Reader& r, T& out, const Table& table) {
  constexpr std::size_t n = Table::size;
  constexpr auto indices = std::make_index_sequence<n>{};
  if (!r.enter()) return false;
  bool seen[n] = {};
  bool more = false;
  if (!r.object_first(more)) return false;
  while (more) {
    std::string_view name;
    if (!r.read_name(name)) return false;
    const std::size_t index = field_index(table, name, indices);
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
bool read_array_form(Reader& r, T& out, const Table& table, std::index_sequence<I...>) {
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
bool read_record(Reader& r, T& out) {
  constexpr auto& table = table_of<T>;
  using Table = std::remove_cvref_t<decltype(table)>;
  const int c = r.peek();
  if (c == '{') return read_object_form(r, out, table);
  if (c == '[') return read_array_form(r, out, table, std::make_index_sequence<Table::size>{});
  return r.not_a_record(table.name);
}

template <class M>
bool read_field_value(Reader& r, M& out) {
  if constexpr (std::is_same_v<M, std::string>) {
    return r.read_text(out);
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

}  // namespace quillon_bo_core::json::detail

namespace quillon_bo_core::json {

template <Record T>
Decoded<T> decode(std::string_view text) {
  detail::Reader reader(text);
  T value{};
  if (detail::read_record(reader, value) && reader.finish()) return Decoded<T>(std::move(value));
  return Decoded<T>(reader.take_failure());
}

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
