// The JSON value: null, boolean, number (kept as its decimal text), string,
// array and object (members unique by name, sorted by their UTF-8 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

}  // namespace quillon_bo_core::json
