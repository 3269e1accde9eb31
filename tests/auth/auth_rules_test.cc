#include "auth/auth_rules.h"

#include <gtest/gtest.h>

#include <map>

#include "auth/auth_config.h"
#include "support/temp_dir.h"

namespace qs::auth {
namespace {

TEST(AuthRulesTest, AddressesAreBuiltFromTheBase) {
  EXPECT_EQ(appendingPath(*Url::parse("https://h.test/api/auth/"), "sign-in/social"),
            "https://h.test/api/auth/sign-in/social");
  EXPECT_EQ(appendingPath(*Url::parse("http://[::1]:8080"), "token"), "http://[::1]:8080/token");
  EXPECT_EQ(appendingPath(*Url::parse("https://h.test/a?x=1"), "token"), std::nullopt);
  EXPECT_EQ(Url::parse("https://u@h.test:8443/p")->origin(), "https://h.test:8443");
  for (const char* bad : {"h.test/path", "https://h.test:99999/", "https://h.test/a b",
                          "1https://h", "https://[::1/"}) {
    EXPECT_EQ(Url::parse(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(percentEncode("aZ09-_.~ +/%é"), "aZ09-_.~%20%2B%2F%25%C3%A9");
  EXPECT_EQ(queryItems("a=1+2&b&c=%41"),
            (std::vector<QueryItem>{{"a", "1+2"}, {"b", std::nullopt}, {"c", "A"}}));
}

TEST(AuthConfigTest, TheDeploymentFileUnlessDebugging) {
  std::map<std::string, std::string> variables = {
      {"QUILLSTONE_AUTH_URL", "http://127.0.0.1:9/api/auth"},
      {"QUILLSTONE_AUTH_CALLBACK", "http://localhost:3000/cb"}};
  const Environment env = [&](const char* name) -> std::optional<std::string> {
    return variables.contains(name) ? std::optional(variables.at(name)) : std::nullopt;
  };
  const json::object deployment{{"QuillstoneAuthURL", "https://auth.quillstone.app/api/auth"},
                                {"QuillstoneAuthCallback", ""}};

  auto fields = [&] {
    const AuthConfig c = authConfig(deployment, env);
    return std::tuple(c.base ? c.base->text() : "", c.debug_base, c.callback, c.origin, c.service);
  };
  // Without QUILLSTONE_DEBUG the overrides are not read.
  EXPECT_EQ(fields(), std::tuple("https://auth.quillstone.app/api/auth", false,
                                 "https://quillstone.app/app/auth/mac-callback/",
                                 "https://quillstone.app", "app.quillstone.linux.direct.session"));
  variables["QUILLSTONE_DEBUG"] = "";
  EXPECT_EQ(fields(),
            std::tuple("http://127.0.0.1:9/api/auth", true, "http://localhost:3000/cb",
                       "http://localhost:3000", "app.quillstone.linux.direct.session.test"));

  // No built-in address; a deployed one must be https.
  variables.clear();
  for (const char* url : {"", "http://auth.quillstone.app", "https://h.test/?x"}) {
    EXPECT_FALSE(
        authConfig(*url ? json::object{{"QuillstoneAuthURL", url}} : json::object{}, env).base);
  }
  const AuthConfig odd = authConfig({{"QuillstoneAuthCallback", "not a url"}}, env);
  EXPECT_EQ(std::tie(odd.callback, odd.origin), std::tuple("not a url", "https://quillstone.app"));

  qs::testing::TempDir dir;
  qs::testing::writeText(dir / "a.json", "[1]");
  qs::testing::writeText(dir / "b.json", R"({"QuillstoneAuthURL":"https://a.test"})");
  EXPECT_EQ((std::tuple{readDeployment(dir / "a.json").size(), readDeployment(dir / "none").size(),
                        readDeployment(dir / "b.json").size()}),
            std::tuple(0u, 0u, 1u));
}

}  // namespace
}  // namespace qs::auth
