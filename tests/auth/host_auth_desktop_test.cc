// HostAuth over real HTTP (libsoup) against the fake service on loopback, with the session kept
// in memory, or in a real Secret Service: a gnome-keyring daemon on the test's own D-Bus session.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "auth/auth_rules.h"
#include "auth/desktop_support.h"
#include "auth/fake_auth_service.h"
#include "auth/host_auth.h"
#include "auth/secret_store.h"
#include "auth/url.h"
#include "core/text.h"
#include "platform/glib_event_loop.h"
#include "support/temp_dir.h"

namespace qs::auth {
namespace {

using qs::testing::FakeAuthService;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Answer = FakeAuthService::Answer;

// The session in memory: only inside tests.
struct MemoryStore final : SecretStore {
  MemoryStore(std::optional<std::string>* d, bool* r) : data(d), refuse(r) {}
  Found lookup() override { return {*data, std::nullopt}; }
  bool replace(std::string_view text, std::string* error) override {
    *data = *refuse ? std::nullopt : std::optional<std::string>(text);
    if (*refuse) *error = "the store is locked";
    return !*refuse;
  }
  void clear() override { data->reset(); }
  void interrupt() override {}
  std::optional<std::string>* data;
  bool* refuse;
};

std::string callbackWith(std::string_view verifier) {
  return "quillstone://auth/callback?neon_auth_session_verifier=" + percentEncode(verifier);
}

// The browser part of a sign-in as a test plays it: what it was sent to, and how to end it.
struct Browser {
  std::optional<std::string> opened;
  std::function<void(BrowserSignIn::End)> ended;
  bool closed = false, told_unreachable = false;
};
struct FakeBrowserSignIn final : BrowserSignIn {
  explicit FakeBrowserSignIn(std::shared_ptr<Browser> b) : browser(std::move(b)) {}
  ~FakeBrowserSignIn() override { browser->closed = true; }
  void start(const std::string& url, std::function<void(End)> ended) override {
    browser->opened = url;
    browser->ended = std::move(ended);
  }
  void showUnreachable() override { browser->told_unreachable = true; }
  std::shared_ptr<Browser> browser;
};

class HostAuthTest : public ::testing::Test {
 protected:
  void SetUp() override { make(); }
  // Exchanges dropped with the client finish on the loop.
  void TearDown() override {
    auth.reset();
    qs::testing::spinPending();
  }

  AuthConfig config() {
    return {Url::parse(service.base()), true, "https://quillstone.test:8443/app/auth/callback/",
            "https://quillstone.test:8443", "app.quillstone.linux.direct.session.test"};
  }
  // A short time limit only where no answer is to come: a slow one must still count.
  // With `keyring`, the program's own store and queue.
  void make(std::optional<AuthConfig> c = std::nullopt, bool hang = false, bool keyring = false) {
    auth.reset();
    std::unique_ptr<SerialQueue> queue = std::make_unique<InlineSerialQueue>();
    if (keyring) queue = std::make_unique<ThreadSerialQueue>("quillstone.auth");
    auth = std::make_unique<HostAuth>(
        c.value_or(config()), main,
        HostAuth::Services{makeSoupHttpClient(),
                           keyring ? store() : std::make_unique<MemoryStore>(&stored, &refuse),
                           std::move(queue),
                           [this] { return links; },
                           {},
                           [this] { return now; },
                           hang ? std::chrono::milliseconds(300) : std::chrono::seconds(60)});
  }
  static std::unique_ptr<SecretStore> store() {
    return makeSecretServiceStore("app.quillstone.linux.direct.session.test", "neon-auth");
  }
  // Whether `text` is in any file below the test's home.
  bool writtenInPlainText(std::string_view text) {
    return std::ranges::any_of(qs::testing::tree(home.path()), [&](const auto& file) {
      return file.second.find(text) != std::string::npos;
    });
  }
  // Each call turns the main loop until its answer comes. A sign-in waits for its browser part,
  // or its end; a whole one gives the error code, or "" on success.
  std::shared_ptr<Browser> startSignIn() {
    auto browser = std::make_shared<Browser>();
    outcome.reset();
    auth->signIn(std::make_unique<FakeBrowserSignIn>(browser),
                 [this](SignInOutcome o) { outcome = std::move(o); });
    EXPECT_TRUE(qs::testing::spinUntil([&] { return outcome || browser->opened; }));
    return browser;
  }
  std::string signIn(const std::string& callback) {
    if (startSignIn()->opened) auth->callback(callback);
    EXPECT_TRUE(qs::testing::spinUntil([&] { return outcome.has_value(); }));
    EXPECT_FALSE(auth->busy());
    if (!outcome) return "(none)";
    return outcome->user ? "" : std::string(errorCode(outcome->error));
  }
  // Turns the loop until `ask` answers.
  template <typename T>
  T await(void (HostAuth::*ask)(std::function<void(T)>)) {
    std::optional<T> got;
    (auth.get()->*ask)([&](T value) { got = std::move(value); });
    EXPECT_TRUE(qs::testing::spinUntil([&] { return got.has_value(); }));
    return got.value_or(T{});
  }
  std::optional<std::string> token() { return await(&HostAuth::token); }
  std::optional<json::object> user() { return await(&HostAuth::user); }
  std::size_t sent(std::string_view path) { return service.requestsTo(path).size(); }

  std::unique_ptr<HostAuth> auth;
  std::optional<SignInOutcome> outcome;
  qs::testing::TempDir home;
  FakeAuthService service;
  GLibEventLoop main;
  std::optional<std::string> stored;
  bool refuse = false;
  std::optional<LinkHandler> links = LinkHandler{"app.quillstone.Quillstone.desktop", {}};
  double now = 1.9e9;
};

// A start or a session answer that falls short ends the sign-in, and nothing is kept; the
// verifier goes on percent-encoded, and a callback the rules refuse asks nothing. The browser
// part may end it too.
TEST_F(HostAuthTest, AnAnswerThatFallsShortEndsTheSignIn) {
  const std::string longest = std::string(4093, 'a') + "+/é";
  ASSERT_EQ(text::graphemeCount(longest), kVerifierLimit);
  EXPECT_EQ(signIn(callbackWith(longest)), "");
  EXPECT_EQ(service.requestsTo("get-session").back().query,
            "neon_auth_session_verifier=" + std::string(4093, 'a') + "%2B%2F%C3%A9");
  EXPECT_EQ(signIn(callbackWith("v-1") + "&error=access_denied"), "failed");
  EXPECT_EQ(signIn("quillstone://other/callback?neon_auth_session_verifier=v-1"), "failed");
  EXPECT_EQ(signIn(callbackWith("v-1") + "%2b&state=%zz"), "failed");
  EXPECT_EQ(sent("get-session"), 1u);
  stored.reset();

  FakeAuthService elsewhere;  // another host, on another address
  const std::string c = "Set-Cookie", chal = "neon-auth.session_challenge=c; Path=/",
                    page = R"({"url":"https://quillstone.test/start"})", s = "sign-in/social",
                    g = "get-session", cookie = "__Secure-neon-auth.session_token=s",
                    with = R"({"user":{"id":"u-1"}})";
  auth::Headers thousand;
  for (int i = 0; i < 1000; ++i) thousand.emplace_back(c, std::to_string(i) + "c=v");
  const std::vector<std::pair<std::string, Answer>> cases = {
      {s, {500, {{c, chal}}, page}},                        // not 200
      {s, {200, {{c, chal}}, "<html>"}},                    // not JSON
      {s, {200, {{c, chal}}, R"({"url":7})"}},              // no url
      {s, {200, {{c, chal}}, R"({"url":"https://a b"})"}},  // a url that isn't one
      {s, {200, {{c, chal}}, R"({"url":"file:///etc/passwd"})"}},
      {s, {200, {}, page}},        // no challenge
      {s, {200, thousand, page}},  // a thousand cookies, no challenge
      {s, {200, {{c, chal + "; Domain=example.org"}}, page}},
      {s, {200, {{c, chal}}, page + std::string(50 << 20, ' ')}},
      {s, {307, {{"Location", elsewhere.base() + "/sign-in/social"}, {c, chal}}, page}},
      {s, {200, {}, "", true}},  // no answer
      {g, {401, {{c, cookie}}, with}},
      {g, {200, {{c, "other_token=s"}}, with}},
      {g, {200, {{c, "neon.session_token="}}, with}},
      {g, {200, {{c, cookie}}, R"({"session":{}})"}},
      {g, {200, {{c, cookie}}, R"({"user":{"id":1}})"}}};
  for (const auto& [path, answer] : cases) {
    SCOPED_TRACE(path + " " + std::to_string(answer.status) + " " + answer.body.substr(0, 40));
    make(config(), answer.hang);
    service.answerAt(path, answer);
    const auto asked = sent(g);
    EXPECT_EQ(signIn(callbackWith("v-1")), "failed");
    EXPECT_EQ((std::tuple{sent(g), stored}), std::tuple(asked + (path == g), std::nullopt));
  }
  EXPECT_TRUE(elsewhere.requests.empty());

  // An http page is only for a service on the debug switch; no service address: nothing asked.
  service.answer = nullptr;
  AuthConfig packaged = config(), none = config();
  packaged.debug_base = false;
  none.base.reset();
  make(packaged);
  EXPECT_EQ(signIn(""), "failed");
  make(none);
  const auto asked = service.requests.size();
  EXPECT_EQ((std::tuple{signIn(""), service.requests.size()}), std::tuple("failed", asked));

  // A store that won't keep the session fails the sign-in, and says why.
  make();
  refuse = true;
  CaptureStderr();
  EXPECT_EQ(signIn(callbackWith("v-1")), "failed");
  EXPECT_NE(GetCapturedStderr().find("Quillstone: the session couldn't be kept"),
            std::string::npos);
  EXPECT_EQ(user(), std::nullopt);
  // A "set-auth-jwt" that isn't a token is not kept: the first token is asked for.
  refuse = false;
  service.session_jwt = "not-a-token";
  EXPECT_EQ(signIn(callbackWith("v-1")), "");
  EXPECT_EQ((std::tuple{token(), sent("token")}), std::tuple(service.token, 1u));

  // The browser part ends it (its own call may free it); links that don't reach this program are
  // said so, and nothing is asked.
  make();
  auto browser = startSignIn();
  auto ended = browser->ended;
  ended(BrowserSignIn::End::kCancelled);
  EXPECT_EQ(std::tuple(errorCode(outcome.value().error), browser->closed, auth->busy()),
            std::tuple("cancelled", true, false));
  const auto started = sent(s);
  links = LinkHandler{"org.other.Browser.desktop", "/usr/bin/other"};
  make();
  CaptureStderr();
  EXPECT_TRUE(startSignIn()->told_unreachable);
  EXPECT_NE(GetCapturedStderr().find("links open org.other.Browser.desktop"), std::string::npos);
  EXPECT_EQ(std::tuple(errorCode(outcome->error), sent(s)), std::tuple("failed", started));
}

TEST_F(HostAuthTest, TokensAreCachedUntilAMinuteBeforeTheyExpire) {
  service.session_jwt = FakeAuthService::jwt(now + 61);
  ASSERT_EQ(signIn(callbackWith("v-1")), "");
  EXPECT_EQ((std::tuple{token(), sent("get-session")}), std::tuple(service.session_jwt, 1u));
  CaptureStderr();  // a second callback finds no sign-in under way
  auth->callback(callbackWith("v-1"));
  EXPECT_NE(GetCapturedStderr().find("ignored a sign-in callback"), std::string::npos);

  // 59 s left: the session is checked; its token has no "exp", so "token" is asked, with the
  // cookie kept; the renewed cookie replaces the stored one.
  now += 2;
  service.check_jwt = FakeAuthService::jwt(std::nullopt);
  service.renewed_token = "sess-2";
  service.token = FakeAuthService::jwt(now + 3600.5);
  EXPECT_EQ(token(), service.token);
  const std::string cookie = "__Secure-neon-auth.session_token=sess-";
  EXPECT_EQ((std::tuple{service.requestsTo("get-session").back().header("Cookie"),
                        service.requestsTo("token").at(0).header("Cookie"),
                        json::findString(json::parse(*stored)->as_object(), "cookie")}),
            std::tuple(cookie + "1", cookie + "1", cookie + "2"));
  EXPECT_EQ((std::tuple{token(), sent("token")}), std::tuple(service.token, 1u));  // cached now

  // Two or four pieces: no expiry, so no token.
  for (const std::string& unreadable :
       {service.token.substr(service.token.find('.') + 1), service.token + ".d"}) {
    now += 7200;
    service.token = unreadable;
    EXPECT_EQ(token(), std::nullopt) << unreadable;
  }
  // A check that carries a readable token answers with it.
  now += 7200;
  service.check_jwt = FakeAuthService::jwt(now + 600);
  const auto asked = sent("token");
  EXPECT_EQ((std::tuple{token(), sent("token")}), std::tuple(service.check_jwt, asked));
}

TEST_F(HostAuthTest, OnlyTheServiceSayingSoEndsTheStoredSession) {
  ASSERT_EQ(signIn(callbackWith("v-1")), "");
  const auto kept = stored;
  // No cached token: not 200, not JSON, no answer.
  for (const Answer& answer :
       {Answer{503, {}, "{}"}, Answer{200, {}, "<html>portal</html>"}, Answer{200, {}, "", true}}) {
    make(config(), answer.hang);
    service.answerAt("get-session", answer);
    EXPECT_EQ((std::tuple{token(), stored}), std::tuple(std::nullopt, kept)) << answer.body;
  }
  // The token request failing: none, and the session stays.
  service.answerAt("token", Answer{500, {}, "{}"});
  EXPECT_EQ((std::tuple{token(), stored}), std::tuple(std::nullopt, kept));
  // The service ended it: forgotten.
  make();
  service.answer = nullptr;
  service.session_token.clear();
  EXPECT_EQ((std::tuple{token(), stored}), std::tuple(std::nullopt, std::nullopt));
  // A stored record that isn't a session (here a cookie that would add a header) asks nothing.
  const auto asked = service.requests.size();
  stored = R"({"cookie":"a=b\r\nX-Evil: 1","user":{"id":"u"}})";
  EXPECT_EQ((std::tuple{token(), service.requests.size()}), std::tuple(std::nullopt, asked));
}

TEST_F(HostAuthTest, TheSessionIsKeptThereAndNeverInPlainText) {
  // Nothing on this bus answers for the Secret Service yet: no session is kept.
  make(config(), false, true);
  CaptureStderr();
  EXPECT_EQ(signIn(callbackWith("v-1")), "failed");
  EXPECT_EQ(user(), std::nullopt);
  const std::string log = GetCapturedStderr();
  EXPECT_NE(log.find("Quillstone: the session couldn't be kept in the Secret Service"), log.npos)
      << log;
  EXPECT_FALSE(writtenInPlainText("sess-1"));

  // With one, the session is kept there (auth_e2e finds it after a restart) and nowhere else.
  qs::testing::Keyring keyring(home.path());
  ASSERT_TRUE(keyring.running());
  service.session_token = "sess-9f27c4e1";
  make(config(), false, true);
  ASSERT_EQ(signIn(callbackWith("v-1")), "");
  EXPECT_FALSE(writtenInPlainText("sess-9f27c4e1"));
  EXPECT_TRUE(store()->lookup().data);
}

}  // namespace
}  // namespace qs::auth
