// JSON values, the compact writer, and (below) the reader and record decoding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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
  Object() = default;
  // Sorts `members` by name; of repeated names the last one given wins.
  // O(n log n), so a decoder can collect members first and hand them over.
  static Object from_members(std::vector<Member> members);

  // Adds the member, or replaces the value of a member of that name.
  void put(std::string name, Value value);
  const Value* find(std::string_view name) const;

  std::size_t size() const { return members_.size(); }
  bool empty() const { return members_.empty(); }
  auto begin() const { return members_.begin(); }
  auto end() const { return members_.end(); }

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
    requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
  Value(T) = delete;

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

// Appends `value` as compact JSON text: no white space, members in their
// sorted order, strings escaped exactly as the result envelope requires.
void write(const Value& value, std::string& out);
std::string to_text(const Value& value);
// Appends `text` as a quoted JSON string with the same escapes.
void write_string(std::string_view text, std::string& out);

}  // namespace quillon_bo_core::json
