// The description of one HTTP exchange: the request a build stage produces
// and the response a parse stage receives. Neither judges its content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json.hpp"

namespace quillon_bo_core {

enum class Method { GET, POST, PATCH };

std::string_view method_name(Method method);

// One value per header name, ordered by name byte for byte (so "Content-Type"
// sorts before "accept", and names differing in case are separate entries).
// The headers are kept as the sorted members of the JSON object they are
// written as, so writing a request hands them over instead of building them
// a second time.
class Headers {
 public:
  // Room for `n` headers without growing.
  void reserve(std::size_t n) { members_.reserve(n); }
  // Adds the header, or replaces the value of the header of that name.
  void put(std::string name, std::string value);
  const std::string *find(std::string_view name) const;
  std::size_t size() const { return members_.size(); }
  bool empty() const { return members_.empty(); }

  json::Object to_object() &&;

 private:
  std::vector<json::Member> members_;
};

struct HttpRequest {
  Method method = Method::GET;
  std::string url;
  Headers headers;
  // Absent means the request has no body; an empty body is a present one.
  std::optional<std::string> body;

  // {"body":...,"headers":{...},"method":"...","url":"..."}, every member
  // present; the second form moves the texts into the value.
  json::Value to_value() const &;
  json::Value to_value() &&;
};

struct HttpResponse {
  std::uint16_t status = 0;
  std::string body;
};

constexpr auto record_table(json::Tag<HttpResponse>) {
  return json::record("HttpResponse", json::required("status", &HttpResponse::status),
                      json::required("body", &HttpResponse::body));
}

}  // namespace quillon_bo_core
