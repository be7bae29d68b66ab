#include "config.hpp"

#include <algorithm>

#include <libbase64.h>

#include "runtime.hpp"
#include "text.hpp"

namespace quillon_bo_core {

namespace {

// The gateway's hosts, in one place.
constexpr std::string_view development_base = "https://api-test.gateway.example/desarrollo";
constexpr std::string_view sandbox_base = "https://api-test.gateway.example/sandbox";
constexpr std::string_view production_base = "https://api.gateway.example";

constexpr std::string_view basic_prefix = "Basic ";

}  // namespace

std::string_view default_base_url(Environment environment) {
  switch (environment) {
    case Environment::development:
      return development_base;
    case Environment::sandbox:
      return sandbox_base;
    case Environment::production:
      return production_base;
  }
  runtime::fault("environment out of range");
}

std::pair<std::string_view, std::string_view> Config::url_parts(std::string_view path) const {
  std::string_view base = base_url ? *base_url : default_base_url(environment);
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return {base, path};
}

std::string Config::url(std::string_view path) const {
  const auto [base, rest] = url_parts(path);
  std::string out;
  out.reserve(base.size() + 1 + rest.size());
  out.append(base).append(1, '/').append(rest);
  return out;
}

std::string_view Config::url(std::string_view path, json::Arena& arena) const {
  const auto [base, rest] = url_parts(path);
  return arena.join(base, "/", rest);
}

Result<std::string_view> Config::basic_authorization(json::Arena& arena) const {
  if (text::trim_white_space(client_id).empty()) {
    return Error::validation("client_id", "must not be empty");
  }
  if (!client_secret && !basic_token) {
    return Error::validation("client_secret", "either client_secret or basic_token is required");
  }
  if (basic_token) {
    std::string_view token = text::trim_white_space(*basic_token);
    if (token.starts_with(basic_prefix)) token.remove_prefix(basic_prefix.size());
    return arena.join(basic_prefix, token);
  }
  // The stored values, untrimmed: a client id with spaces around it is
  // encoded with its spaces.
  const std::string_view plain = arena.join(client_id, ":", *client_secret);
  const std::size_t encoded = 4 * ((plain.size() + 2) / 3);
  char* const out = arena.allocate(basic_prefix.size() + encoded);
  std::copy(basic_prefix.begin(), basic_prefix.end(), out);
  // libbase64 picks its codec (SIMD or plain) on first use, without a lock:
  // that first use happens once, under a static's guard, so threads encoding
  // their first credentials at the same time never race on the choice.
  static const bool codec_chosen = [] {
    char none[4];
    std::size_t n = 0;
    base64_encode("", 0, none, &n, 0);
    return true;
  }();
  static_cast<void>(codec_chosen);
  std::size_t written = 0;
  base64_encode(plain.data(), plain.size(), out + basic_prefix.size(), &written, 0);
  QB_ASSERT(written == encoded);
  return std::string_view(out, basic_prefix.size() + encoded);
}

}  // namespace quillon_bo_core
