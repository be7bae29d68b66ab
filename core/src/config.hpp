// The client configuration sent with every build payload: the gateway
// environment (or an explicit base URL) and the OAuth client credentials.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// Decoded from a build payload, borrowing its texts from it.
struct Config {
  std::string_view client_id;
  std::optional<std::string_view> client_secret;
  // A ready-made Basic credential, with or without its "Basic " prefix.
  std::optional<std::string_view> basic_token;
  Environment environment = Environment::sandbox;
  // Replaces the environment's default base URL, even when empty.
  std::optional<std::string_view> base_url;

  // The base, exactly one "/", and `path`: slashes are removed from the end of
  // the base and from the start of the path, nothing else is touched.
  std::string url(std::string_view path) const;
  // The same, written in the arena.
  std::string_view url(std::string_view path, json::Arena& arena) const;

  // The Authorization header value ("Basic ..."), written in the arena, or a
  // validation error when the client id is blank or neither secret nor
  // ready-made token is given.
  Result<std::string_view> basic_authorization(json::Arena& arena) const;

 private:
  // The base and the path of url(), trimmed of the slashes where they meet.
  std::pair<std::string_view, std::string_view> url_parts(std::string_view path) const;
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
