#include "http.hpp"

#include <utility>

#include "runtime.hpp"

namespace quillon_bo_core {

std::string_view method_name(Method method) {
  switch (method) {
    case Method::GET: return "GET";
    case Method::POST: return "POST";
    case Method::PATCH: return "PATCH";
  }
  runtime::fault("method out of range");
}

json::Value HttpRequest::to_value() const& { return HttpRequest(*this).to_value(); }

json::Value HttpRequest::to_value() && {
  // Members are put in their sorted order, so each put appends.
  json::Object o;
  o.put("body", body ? json::Value(std::move(*body)) : json::Value(nullptr));
  o.put("headers", std::move(headers).object());
  o.put("method", method_name(method));
  o.put("url", std::move(url));
  return o;
}

}  // namespace quillon_bo_core
