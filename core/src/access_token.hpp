// The access token: what the token operation gives, and what a caller hands
// back as the "token" member of any build payload. Here rather than with the
// token operation, so that the stage runner needs no operation's header.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "json.hpp"

namespace quillon_bo_core {

// Its texts are borrowed: from the build payload it was decoded from, or
// from the token answer it was read out of.
struct AccessToken {
  std::string_view access_token;
  std::string_view token_type;
  std::int64_t expires_at = 0;
  std::optional<std::string_view> scope;

  friend bool operator==(const AccessToken&, const AccessToken&) = default;
};

// Written as {"access_token","expires_at","scope","token_type"}, "scope" null
// when absent. Read back from a build payload: the array form needs all four
// elements.
constexpr auto record_table(json::Tag<AccessToken>) {
  return json::record("AccessToken", json::required("access_token", &AccessToken::access_token),
                      json::required("token_type", &AccessToken::token_type),
                      json::required("expires_at", &AccessToken::expires_at),
                      json::optional("scope", &AccessToken::scope));
}

}  // namespace quillon_bo_core
