// The token operation: an OAuth 2.0 access token by the client-credentials
// grant with HTTP Basic client authentication.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "access_token.hpp"
#include "config.hpp"
#include "error.hpp"
#include "http.hpp"
#include "json.hpp"
#include "operation.hpp"

namespace quillon_bo_core {

// The input of both token stages.
struct TokenInput {
  // The caller's current time in whole seconds; the core only adds to it.
  std::int64_t now = 0;
};

constexpr auto record_table(json::Tag<TokenInput>) {
  return json::record("TokenInput", json::required("now", &TokenInput::now));
}

// The token endpoint's success body, as it arrives; its texts borrowed from it.
struct TokenResponse {
  std::string_view access_token;
  std::string_view token_type = "Bearer";
  std::int64_t expires_in = 3600;
  std::optional<std::string_view> scope;
};

// Everything but the token may be left off, also at the end of the array form.
constexpr auto record_table(json::Tag<TokenResponse>) {
  return json::record("TokenResponse", json::required("access_token", &TokenResponse::access_token),
                      json::defaulted("token_type", &TokenResponse::token_type, "Bearer"),
                      json::defaulted("expires_in", &TokenResponse::expires_in, std::int64_t{3600}),
                      json::defaulted("scope", &TokenResponse::scope));
}

// When a token that the endpoint gave `expires_in` seconds of life at `now`
// is to be treated as expired: 60 seconds early, never before `now`. The
// arithmetic saturates: a lifetime that would pass the end of the 64-bit range
// ends at its maximum instead of wrapping to a time long past.
std::int64_t expiry_time(std::int64_t now, std::int64_t expires_in);

struct Token {
  static constexpr std::string_view name = "token";
  static constexpr bool idempotent = true;
  static constexpr std::optional<std::uint32_t> timeout_secs = std::nullopt;
  using Input = TokenInput;
  // The access token with an absolute expiry.
  using Output = AccessToken;

  // POST to the token endpoint with the Basic credential and no body; only
  // the configuration is used.
  static Result<HttpRequest> request(const RequestContext& context, const TokenInput& input);
  // An authentication error for a status outside 200..299, a decode error for
  // an unreadable answer or an empty token, else the access token.
  static Result<AccessToken> response(const HttpResponse& response, const TokenInput& input,
                                      json::Arena& arena);
};

}  // namespace quillon_bo_core
