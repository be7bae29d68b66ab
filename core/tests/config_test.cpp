// URL joining for paths the token request never passes.
#include <gtest/gtest.h>

#include "config.hpp"

namespace quillon_bo_core {
namespace {

TEST(Config, UrlJoinsWithExactlyOneSlash) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"p", "h/p"}, {"///p/q", "h/p/q"}, {"", "h/"},
      {"//", "h/"}, {" /p", "h/ /p"},    {"\\p", "h/\\p"},
  };
  Config config;
  config.base_url = "h//";
  for (const auto& [path, url] : cases) EXPECT_EQ(config.url(path), url) << path;
  config.base_url.reset();
  config.environment = Environment::production;
  EXPECT_EQ(config.url("/p"), "https://api.gateway.example/p");
}

}  // namespace
}  // namespace quillon_bo_core
