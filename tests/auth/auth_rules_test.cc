#include "auth/auth_rules.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "auth/auth_config.h"
#include "auth/browser_sign_in.h"
#include "support/temp_dir.h"

namespace qs::auth {
namespace {

TEST(AuthRulesTest, ExpiryReadsTheMiddleOfExactlyThreePieces) {
  // base64url, unpadded, with "-" and "_" in it; a fractional "exp".
  const std::string payload = "eyJleHAiOjE5MDAwMDAwMDAuMjUsIm4iOiI_Pj8ifQ";
  EXPECT_EQ(expiry("h." + payload + ".s"), 1900000000.25);
  EXPECT_EQ(expiry("eyJleHAiOjE5MDAwMDAwMDAuMjUsIm4iOiI-Pj4ifQ"), std::nullopt);
  EXPECT_EQ(expiry(".h.." + payload + ".s."), 1900000000.25);  // empty pieces don't count
  EXPECT_EQ(expiry("h.eyJleHAiOjE3fQ.s"), 17);                 // {"exp":17}
  for (const std::string& unreadable : std::vector<std::string>{
           payload + ".s",           // two pieces
           "h." + payload + ".s.x",  // four
           "h.eyJleHAiOiIxNyJ9.s",   // {"exp":"17"}
           "h.eyJpYXQiOjE3fQ.s",     // {"iat":17}
           "h.WzE3XQ.s",             // [17]
           "h.bm90IGpzb24.s",        // not JSON
           "h.e.s",                  // not base64 once padded
           "h.eyJleHAiOjE3fQ!.s",
           "",
           "..",
       }) {
    EXPECT_EQ(expiry(unreadable), std::nullopt) << unreadable;
  }
}

TEST(AuthRulesTest, OnlyCookiesTheServiceMaySetCount) {
  const Url base = *Url::parse("https://Auth.Example.com/api/auth");
  const Headers headers = {
      {"Content-Type", "application/json"},
      {"Set-Cookie", "a = 1 ; Path=/; HttpOnly"},
      {"set-cookie", "b=2; Domain=.example.com"},
      {"SET-COOKIE", "c=3; Domain=example.org"},
      {"Set-Cookie", "d=4; Domain=ample.com"},
      {"Set-Cookie", "novalue"},
      {"Set-Cookie", "=5"},
      {"Set-Cookie", "e=5\x01"},
      {"Set-Cookie", "f=6; domain=AUTH.example.COM; Secure"},
      {"Set-Cookie", "g="},
  };
  std::vector<std::string> texts;
  for (const auto& c : responseCookies(headers, base)) texts.push_back(c.text());
  EXPECT_EQ(texts, (std::vector<std::string>{"a=1", "b=2", "f=6", "g="}));

  // An address in numbers has no parent domain to share cookies with.
  const Url loopback = *Url::parse("http://127.0.0.1:8080/api");
  EXPECT_EQ(responseCookies({{"Set-Cookie", "x=1; Domain=0.0.1"}}, loopback).size(), 0u);
  EXPECT_EQ(responseCookies({{"Set-Cookie", "x=1; Domain=127.0.0.1"}}, loopback).size(), 1u);

  EXPECT_TRUE(isChallengeCookie({"__Secure-neon-auth.session_challenge", "c"}));
  EXPECT_TRUE(isChallengeCookie({"neon-auth.session_challange_x", ""}));
  EXPECT_FALSE(isChallengeCookie({"session_token", "c"}));
  EXPECT_TRUE(isSessionCookie({"__Secure-neon-auth.session_token", "s"}));
  EXPECT_FALSE(isSessionCookie({"neon-auth.session_token", ""}));
  EXPECT_FALSE(isSessionCookie({"session_token.sig", "s"}));
}

// The browser's callback: this program's scheme, host and path, a verifier of 1 to 4096
// characters (the first, when there are two) and no "error" item; whatever else the service
// adds to it (a state, say) is let be.
TEST(AuthRulesTest, TheCallbackGivesItsVerifier) {
  const std::string at = "quillstone://auth/callback?";
  const std::string v = "neon_auth_session_verifier=";
  const std::string longest(kVerifierLimit, 'a');
  const std::optional<std::string> none;
  for (const auto& [callback, verifier] :
       std::vector<std::pair<std::string, std::optional<std::string>>>{
           {at + v + "v-1", "v-1"},
           {at + v + "v-1&state=s", "v-1"},
           {at + "state=s&flag&" + v + "a%2Bb%20c", "a+b c"},
           {at + v + "v-1&" + v + "v-2", "v-1"},
           {at + v + longest, longest},
           {at + v + longest + "a", none},
           {at + v + "v-1&error=access_denied", none},
           {at + "error&" + v + "v-1", none},
           {at + v, none},
           {at + "neon_auth_session_verifier", none},
           {at + "state=s", none},
           {at + v + "v%2", none},
           {at + v + "v-1&state=%zz", none},
           {"quillstone://auth/callback", none},
           {"quillstone://other/callback?" + v + "v-1", none},
           {"quillstone://auth/callbacks?" + v + "v-1", none},
           {"quillstone://auth:8/callback?" + v + "v-1", none},
           {"https://auth/callback?" + v + "v-1", none},
       }) {
    EXPECT_EQ(callbackVerifier(callback), verifier) << callback;
  }
}

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
    auto it = variables.find(name);
    return it == variables.end() ? std::nullopt : std::optional<std::string>(it->second);
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
  EXPECT_FALSE(authConfig({}, env).base);
  EXPECT_FALSE(authConfig({{"QuillstoneAuthURL", "http://auth.quillstone.app"}}, env).base);
  EXPECT_FALSE(authConfig({{"QuillstoneAuthURL", "https://h.test/?x"}}, env).base);
  const AuthConfig odd = authConfig({{"QuillstoneAuthCallback", "not a url"}}, env);
  EXPECT_EQ(odd.callback, "not a url");
  EXPECT_EQ(odd.origin, "https://quillstone.app");

  qs::testing::TempDir dir;
  qs::testing::write_text(dir / "deployment.json", "[1]");
  EXPECT_TRUE(readDeployment(dir / "deployment.json").empty());
  EXPECT_TRUE(readDeployment(dir / "missing.json").empty());
  qs::testing::write_text(dir / "deployment.json", R"({"QuillstoneAuthURL":"https://a.test"})");
  EXPECT_EQ(readDeployment(dir / "deployment.json").size(), 1u);
}

TEST(AuthRulesTest, LinksReachThisProgramThroughItsEntryOrItsBinary) {
  qs::testing::TempDir dir;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  std::filesystem::create_symlink(self, dir / "quillstone");
  EXPECT_TRUE(reachesThisProgram(LinkHandler{"app.quillstone.Quillstone.desktop", {}}, self));
  EXPECT_TRUE(reachesThisProgram(LinkHandler{"quillstone-dev.desktop", dir / "quillstone"}, self));
  EXPECT_FALSE(reachesThisProgram(LinkHandler{"firefox.desktop", "/bin/sh"}, self));
  EXPECT_FALSE(reachesThisProgram(LinkHandler{"gone.desktop", {}}, self));
  EXPECT_FALSE(reachesThisProgram(std::nullopt, self));
}

}  // namespace
}  // namespace qs::auth
