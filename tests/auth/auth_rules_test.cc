#include "auth/auth_rules.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "auth/auth_config.h"
#include "auth/browser_sign_in.h"
#include "support/temp_dir.h"

namespace qs::auth {
namespace {

using namespace std::string_literals;

TEST(AuthRulesTest, ExpiryReadsTheMiddleOfExactlyThreePieces) {
  // base64url, unpadded, with "-" and "_" in it; a fractional "exp".
  const std::string payload = "eyJleHAiOjE5MDAwMDAwMDAuMjUsIm4iOiI_Pj8ifQ";
  EXPECT_EQ(expiry("h." + payload + ".s"), 1900000000.25);
  EXPECT_EQ(expiry("eyJleHAiOjE5MDAwMDAwMDAuMjUsIm4iOiI-Pj4ifQ"), std::nullopt);
  EXPECT_EQ(expiry(".h.." + payload + ".s."), 1900000000.25);  // empty pieces don't count
  EXPECT_EQ(expiry("h.eyJleHAiOjE3fQ.s"), 17);                 // {"exp":17}
  // Two pieces, four, {"exp":"17"}, {"iat":17}, [17], not JSON, not base64 once padded.
  for (const std::string& unreadable :
       {payload + ".s", "h." + payload + ".s.x", "h.eyJleHAiOiIxNyJ9.s"s, "h.eyJpYXQiOjE3fQ.s"s,
        "h.WzE3XQ.s"s, "h.bm90IGpzb24.s"s, "h.e.s"s, "h.eyJleHAiOjE3fQ!.s"s, ""s, ".."s}) {
    EXPECT_EQ(expiry(unreadable), std::nullopt) << unreadable;
  }
}

TEST(AuthRulesTest, OnlyCookiesTheServiceMaySetCount) {
  const Url base = *Url::parse("https://Auth.Example.com/api/auth");
  const std::string sc = "Set-Cookie";
  const Headers headers = {{"Content-Type", "application/json"},
                           {sc, "a = 1 ; Path=/; HttpOnly"},
                           {"set-cookie", "b=2; Domain=.example.com"},
                           {"SET-COOKIE", "c=3; Domain=example.org"},
                           {sc, "d=4; Domain=ample.com"},
                           {sc, "novalue"},
                           {sc, "=5"},
                           {sc, "e=5\x01"},
                           {sc, "f=6; domain=AUTH.example.COM; Secure"},
                           {sc, "g="}};
  std::vector<std::string> texts;
  for (const auto& c : responseCookies(headers, base)) texts.push_back(c.text());
  EXPECT_EQ(texts, (std::vector<std::string>{"a=1", "b=2", "f=6", "g="}));

  // An address in numbers has no parent domain to share cookies with.
  const Url loopback = *Url::parse("http://127.0.0.1:8080/api");
  EXPECT_EQ(responseCookies({{"Set-Cookie", "x=1; Domain=0.0.1"}}, loopback).size(), 0u);
  EXPECT_EQ(responseCookies({{"Set-Cookie", "x=1; Domain=127.0.0.1"}}, loopback).size(), 1u);

  EXPECT_EQ(std::vector<bool>({isChallengeCookie({"__Secure-neon-auth.session_challenge", "c"}),
                               isChallengeCookie({"neon-auth.session_challange_x", ""}),
                               isChallengeCookie({"session_token", "c"}),
                               isSessionCookie({"__Secure-neon-auth.session_token", "s"}),
                               isSessionCookie({"neon-auth.session_token", ""}),
                               isSessionCookie({"session_token.sig", "s"})}),
            std::vector<bool>({true, true, false, true, false, false}));
}

// The browser's callback: this program's scheme, host and path, a verifier of 1 to 4096
// characters (the first, when there are two) and no "error" item; whatever else the service
// adds to it (a state, say) is let be.
TEST(AuthRulesTest, TheCallbackGivesItsVerifier) {
  const std::string at = "quillstone://auth/callback?";
  const std::string v = "neon_auth_session_verifier=";
  const std::string longest(kVerifierLimit, 'a');
  for (const auto& [callback, verifier] : std::vector<std::pair<std::string, std::string>>{
           {at + v + "v-1", "v-1"},
           {at + v + "v-1&state=s", "v-1"},
           {at + "state=s&flag&" + v + "a%2Bb%20c", "a+b c"},
           {at + v + "v-1&" + v + "v-2", "v-1"},
           {at + v + longest, longest}}) {
    EXPECT_EQ(callbackVerifier(callback), verifier) << callback;
  }
  for (const std::string& refused :
       {at + v + longest + "a", at + v + "v-1&error=access_denied", at + "error&" + v + "v-1",
        at + v, at + "neon_auth_session_verifier", at + "state=s", at + v + "v%2",
        at + v + "v-1&state=%zz", "quillstone://auth/callback"s,
        "quillstone://other/callback?" + v + "v-1", "quillstone://auth/callbacks?" + v + "v-1",
        "quillstone://auth:8/callback?" + v + "v-1", "https://auth/callback?" + v + "v-1"}) {
    EXPECT_EQ(callbackVerifier(refused), std::nullopt) << refused;
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

TEST(AuthRulesTest, LinksReachThisProgramThroughItsEntryOrItsBinary) {
  qs::testing::TempDir dir;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  std::filesystem::create_symlink(self, dir / "quillstone");
  for (const auto& [handler, reaches] : std::vector<std::pair<std::optional<LinkHandler>, bool>>{
           {LinkHandler{"app.quillstone.Quillstone.desktop", {}}, true},
           {LinkHandler{"quillstone-dev.desktop", dir / "quillstone"}, true},
           {LinkHandler{"firefox.desktop", "/bin/sh"}, false},
           {LinkHandler{"gone.desktop", {}}, false},
           {std::nullopt, false}}) {
    EXPECT_EQ(reachesThisProgram(handler, self), reaches);
  }
}

}  // namespace
}  // namespace qs::auth
