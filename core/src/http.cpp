#include "http.hpp"

#include <utility>
#include <vector>

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
  // The members in their sorted order, handed over as they are: one allocation.
  std::vector<json::Member> members;
  members.reserve(4);
  members.push_back({"body", body ? json::Value(std::move(*body)) : json::Value(nullptr)});
  members.push_back({"headers", std::move(headers).object()});
  members.push_back({"method", method_name(method)});
  members.push_back({"url", std::move(url)});
  return json::Object::from_members(std::move(members));
}

}  // namespace quillon_bo_core
