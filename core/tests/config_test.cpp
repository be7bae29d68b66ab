#include "config.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillon_bo_core {
namespace {

// The joining rules are plain string work, clearest checked on the method itself.
struct UrlCase {
  std::optional<std::string> base_url;
  Environment environment;
  std::string path;
  std::string expected;
};

class ConfigUrl : public testing::TestWithParam<UrlCase> {};

TEST_P(ConfigUrl, JoinsBaseAndPathWithOneSlash) {
  const UrlCase& c = GetParam();
  Config config;
  config.client_id = "id";
  config.environment = c.environment;
  config.base_url = c.base_url;
  EXPECT_EQ(config.url(c.path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigUrl,
    testing::Values(
        UrlCase{std::nullopt, Environment::sandbox, "p", "https://api-test.gateway.example/sandbox/p"},
        UrlCase{std::nullopt, Environment::development, "/p", "https://api-test.gateway.example/desarrollo/p"},
        UrlCase{std::nullopt, Environment::production, "//p", "https://api.gateway.example/p"},
        UrlCase{"", Environment::production, "p", "/p"},
        UrlCase{"///", Environment::sandbox, "p", "/p"},
        UrlCase{"http://h//", Environment::sandbox, "///a/b?x=/#f", "http://h/a/b?x=/#f"},
        UrlCase{" h ", Environment::sandbox, " p", " h / p"},
        UrlCase{"h\\", Environment::sandbox, "\\p", "h\\/\\p"},
        UrlCase{"h", Environment::sandbox, "", "h/"},
        UrlCase{"h", Environment::sandbox, "//", "h/"}));

}  // namespace
}  // namespace quillon_bo_core
