// The description of one HTTP exchange: the request a build stage produces
// and the response a parse stage receives. Neither judges its content.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "json.hpp"

namespace quillon_bo_core {

enum class Method { GET, POST, PATCH };

std::string_view method_name(Method method);

// One value per header name, ordered by name byte for byte (so "Content-Type"
// sorts before "accept", and names differing in case are separate entries).
using Headers = std::map<std::string, std::string, std::less<>>;

struct HttpRequest {
  Method method = Method::GET;
  std::string url;
  Headers headers;
  // Absent means the request has no body; an empty body is a present one.
  std::optional<std::string> body;

  // {"body":...,"headers":{...},"method":"...","url":"..."}, every member
  // present; the second form moves the texts into the value.
  json::Value to_value() const&;
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
