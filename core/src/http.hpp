// The description of one HTTP exchange: the request a build stage produces
// and the response a parse stage receives. Neither judges its content.
#pragma once

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

struct Header {
  std::string name;
  std::string value;
};

// One value per header name, ordered by name byte for byte (so "Content-Type"
// sorts before "accept", and names differing in case are separate entries):
// the order in which they are written.
class Headers {
 public:
  using sorted_members = void;

  Headers() = default;
  Headers(std::initializer_list<Header> headers);

  // Room for `n` headers without growing.
  void reserve(std::size_t n) { headers_.reserve(n); }
  // Adds the header, or replaces the value of the header of that name.
  void put(std::string name, std::string value);
  const std::string* find(std::string_view name) const;
  void clear() { headers_.clear(); }
  std::size_t size() const { return headers_.size(); }
  bool empty() const { return headers_.empty(); }
  std::vector<Header>::const_iterator begin() const { return headers_.begin(); }
  std::vector<Header>::const_iterator end() const { return headers_.end(); }

 private:
  std::vector<Header> headers_;
};

struct HttpRequest {
  Method method = Method::GET;
  std::string url;
  Headers headers;
  // Absent means the request has no body; an empty body is a present one.
  std::optional<std::string> body;

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

struct HttpResponse {
  std::uint16_t status = 0;
  std::string body;
};

constexpr auto record_table(json::Tag<HttpResponse>) {
  return json::record("HttpResponse", json::required("status", &HttpResponse::status),
                      json::required("body", &HttpResponse::body));
}

}  // namespace quillon_bo_core
