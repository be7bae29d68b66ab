// The description of one HTTP exchange: the request a build stage produces
// and the response a parse stage receives. Neither judges its content.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json.hpp"

namespace quillon_bo_core {

enum class Method { GET, POST, PATCH };

constexpr auto enum_table(json::Tag<Method>) {
  return json::enumeration<Method>(
      {{"GET", Method::GET}, {"POST", Method::POST}, {"PATCH", Method::PATCH}});
}

// Names and values are borrowed: constants, or texts in the stage's arena.
struct Header {
  std::string_view name;
  std::string_view value;
};

// One value per header name, ordered by name byte for byte (so "Content-Type"
// sorts before "accept", and names differing in case are separate entries):
// the order in which they are written. A request's few headers are held in
// place; more than `in_place` move them all to the heap.
class Headers {
 public:
  using sorted_members = void;

  Headers() = default;
  Headers(std::initializer_list<Header> headers);

  // Adds the header, or replaces the value of the header of that name.
  void put(std::string_view name, std::string_view value);
  // A text made for the call would be gone before the request is written.
  template <class S>
  requires std::same_as<S, std::string>
  void put(std::string_view name, S&& value) = delete;
  const std::string_view* find(std::string_view name) const;
  void clear() {
    size_ = 0;
    many_.clear();
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Header* begin() const { return data(); }
  const Header* end() const { return data() + size_; }

 private:
  static constexpr std::size_t in_place = 4;

  const Header* data() const { return many_.empty() ? few_.data() : many_.data(); }

  std::array<Header, in_place> few_{};
  std::vector<Header> many_;
  std::size_t size_ = 0;
};

// Its texts are borrowed, like the headers'.
struct HttpRequest {
  Method method = Method::GET;
  std::string_view url;
  Headers headers;
  // Absent means the request has no body; an empty body is a present one.
  std::optional<std::string_view> body;

  // {"body":...,"headers":{...},"method":"...","url":"..."}, every member
  // present.
  json::Value to_value() const { return json::to_value(*this); }
};

// Written only.
constexpr auto record_table(json::Tag<HttpRequest>) {
  return json::record("HttpRequest", json::required("method", &HttpRequest::method),
                      json::required("url", &HttpRequest::url),
                      json::required("headers", &HttpRequest::headers),
                      json::optional("body", &HttpRequest::body));
}

// Decoded from a parse payload, borrowing the body from it.
struct HttpResponse {
  std::uint16_t status = 0;
  std::string_view body;
};

constexpr auto record_table(json::Tag<HttpResponse>) {
  return json::record("HttpResponse", json::required("status", &HttpResponse::status),
                      json::required("body", &HttpResponse::body));
}

}  // namespace quillon_bo_core
