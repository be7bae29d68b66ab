#include "token.hpp"

#include <limits>
#include <utility>

#include "envelope.hpp"

namespace quillon_bo_core {

namespace {

constexpr std::string_view token_path =
    "oauth-client-credentials/access-token?grant_type=client_credentials";
// A token is dropped this many seconds before the endpoint says it ends, so
// that one sent just before its end does not arrive expired.
constexpr std::int64_t expiry_margin = 60;

// In standard C++ rather than a compiler builtin, so that every compiler the
// wheels are built with takes it.
std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  constexpr auto min = std::numeric_limits<std::int64_t>::min();
  if (b > 0 && a > max - b) return max;
  if (b < 0 && a < min - b) return min;
  return a + b;
}

}  // namespace

std::int64_t expiry_time(std::int64_t now, std::int64_t expires_in) {
  // Only a lifetime above the margin is shortened, so the subtraction cannot
  // wrap (a very negative expires_in is simply no lifetime); the addition to
  // `now` stops at the ends of the range.
  const std::int64_t lifetime = expires_in > expiry_margin ? expires_in - expiry_margin : 0;
  return saturating_add(now, lifetime);
}

Result<HttpRequest> Token::request(const RequestContext& context, const TokenInput& /*input*/) {
  auto authorization = context.config.basic_authorization(context.arena);
  if (!authorization) return std::move(authorization).error();
  HttpRequest request;
  request.method = Method::POST;
  request.url = context.config.url(token_path, context.arena);
  request.headers.put("Accept", "application/json");
  request.headers.put("Authorization", authorization.value());
  request.headers.put("Content-Type", "application/x-www-form-urlencoded");
  return request;
}

Result<AccessToken> Token::response(const HttpResponse& response, const TokenInput& input,
                                    json::Arena& arena) {
  if (response.status < 200 || response.status > 299) {
    return Error{
        Error::Authentication{response.status, envelope::message_from_body(response.body)}};
  }
  auto decoded = json::decode<TokenResponse>(response.body, arena);
  if (!decoded) {
    return Error{
        Error::Decode{"invalid token response: " + decoded.failure().to_text(response.body)}};
  }
  const TokenResponse& answer = decoded.value();
  if (answer.access_token.empty())
    return Error{Error::Decode{"token response has an empty access_token"}};
  return AccessToken{answer.access_token, answer.token_type,
                     expiry_time(input.now, answer.expires_in), answer.scope};
}

}  // namespace quillon_bo_core
