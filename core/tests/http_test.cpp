// Request writing for what no token request shows: other methods, bodies and
// header names that differ only in case.
#include <gtest/gtest.h>

#include "http.hpp"
#include "json.hpp"

namespace quillon_bo_core {
namespace {

TEST(HttpRequest, WritesEveryMemberWithHeadersInByteOrder) {
  HttpRequest request;
  request.method = Method::GET;
  request.url = "u";
  EXPECT_EQ(json::to_text(request.to_value()),
            R"({"body":null,"headers":{},"method":"GET","url":"u"})");

  request.method = Method::PATCH;
  request.body = "";
  for (const char* name : {"accept", "X-B", "Accept", "Content-Type", "X-A"})
    request.headers.put(name, name);
  request.headers.put("X-B", "replaced");
  EXPECT_EQ(json::to_text(std::move(request).to_value()),
            R"({"body":"","headers":{"Accept":"Accept","Content-Type":"Content-Type","X-A":"X-A",)"
            R"("X-B":"replaced","accept":"accept"},"method":"PATCH","url":"u"})");
}

}  // namespace
}  // namespace quillon_bo_core
