// The client configuration sent with every build payload: the gateway
// environment (or an explicit base URL) and the OAuth client credentials.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "json.hpp"

namespace quillon_bo_core {

// The gateway's environments, in their declared order.
enum class Environment { development, sandbox, production };

constexpr auto enum_table(json::Tag<Environment>) {
  return json::enumeration<Environment>({{"development", Environment::development},
                                         {"sandbox", Environment::sandbox},
                                         {"production", Environment::production}});
}

// The base URL used when a configuration gives none. None ends with "/".
std::string_view default_base_url(Environment environment);

struct Config {
  std::string client_id;
  std::optional<std::string> client_secret;
  // A ready-made Basic credential, with or without its "Basic " prefix.
  std::optional<std::string> basic_token;
  Environment environment = Environment::sandbox;
  // Replaces the environment's default base URL, even when empty.
  std::optional<std::string> base_url;

  // The base, exactly one "/", and `path`: slashes are removed from the end of
  // the base and from the start of the path, nothing else is touched.
  std::string url(std::string_view path) const;

  // The Authorization header value ("Basic ..."), or a validation error when
  // the client id is blank or neither secret nor ready-made token is given.
  Result<std::string> basic_authorization() const;
};

// Only the client id is required; in the array form the elements after it may
// be left off, taking the values of absent members.
constexpr auto record_table(json::Tag<Config>) {
  return json::record("Config", json::required("client_id", &Config::client_id),
                      json::defaulted("client_secret", &Config::client_secret),
                      json::defaulted("basic_token", &Config::basic_token),
                      json::defaulted("environment", &Config::environment, Environment::sandbox),
                      json::defaulted("base_url", &Config::base_url));
}

}  // namespace quillon_bo_core
