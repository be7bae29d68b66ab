// The one result type of the core: a value, or the reason there is none.
// Operations return Result<T> (the reason an Error); the JSON reader returns
// Result<T, json::Failure>.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace quillon_bo_core {

struct Error;

template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : storage_(std::in_place_index<1>, std::move(error)) {}
  // A value-initialised T made in place, for a reader that fills it where
  // it will be returned instead of moving a finished one in.
  explicit Result(std::in_place_t) : storage_(std::in_place_index<0>) {}
  // Anything a T can be made from, as std::expected allows.
  template <class U>
  requires(!std::is_same_v<std::remove_cvref_t<U>, Result> &&
           !std::is_same_v<std::remove_cvref_t<U>, T> &&
           !std::is_same_v<std::remove_cvref_t<U>, E> && std::is_constructible_v<T, U&&> &&
           !std::is_constructible_v<E, U&&>) Result(U&& value)
      : storage_(std::in_place_index<0>, T(std::forward<U>(value))) {}

  bool ok() const { return storage_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  E& error() & { return std::get<1>(storage_); }
  const E& error() const& { return std::get<1>(storage_); }
  E&& error() && { return std::get<1>(std::move(storage_)); }
  // The reader's word for the same thing: why a text did not decode.
  const E& failure() const& { return error(); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> storage_;
};

}  // namespace quillon_bo_core
