// HostAuth over real HTTP (libsoup) against the fake service on loopback, with the session kept
// in memory (the Secret Service has its own test).
#include <gtest/gtest.h>

#include <string>

#include "auth/auth_rules.h"
#include "auth/desktop_support.h"
#include "auth/fake_auth_service.h"
#include "auth/host_auth.h"
#include "auth/url.h"
#include "core/text.h"
#include "platform/glib_event_loop.h"

namespace qs::auth {
namespace {

using qs::testing::FakeAuthService;
using qs::testing::spinUntil;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Answer = FakeAuthService::Answer;

// The session in memory: only inside tests.
class MemoryStore final : public SecretStore {
 public:
  explicit MemoryStore(std::shared_ptr<std::optional<std::string>> data, bool* refuse)
      : data_(std::move(data)), refuse_(refuse) {}
  Found lookup() override { return {*data_, std::nullopt}; }
  bool replace(std::string_view data, std::string* error) override {
    data_->reset();
    if (*refuse_) {
      *error = "the store is locked";
      return false;
    }
    *data_ = std::string(data);
    return true;
  }
  void clear() override { data_->reset(); }
  void interrupt() override {}

 private:
  std::shared_ptr<std::optional<std::string>> data_;
  bool* refuse_;
};

std::string callbackWith(std::string_view verifier) {
  return "quillstone://auth/callback?neon_auth_session_verifier=" + percentEncode(verifier);
}

class HostAuthTest : public ::testing::Test, public qs::testing::AuthDriver {
 protected:
  void SetUp() override { make(); }
  // Exchanges dropped with the client finish on the loop.
  void TearDown() override {
    auth.reset();
    qs::testing::spinPending();
  }

  AuthConfig config() {
    AuthConfig c;
    c.base = Url::parse(service.base());
    c.debug_base = true;
    c.callback = "https://quillstone.test:8443/app/auth/callback/";
    c.origin = "https://quillstone.test:8443";
    c.service = "app.quillstone.linux.direct.session.test";
    return c;
  }

  void make(std::optional<AuthConfig> c = std::nullopt,
            std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    auth.reset();
    HostAuth::Services services;
    services.http = makeSoupHttpClient();
    services.store = std::make_unique<MemoryStore>(stored, &refuse);
    services.store_queue = std::make_unique<InlineSerialQueue>();
    services.link_handler = [this] { return links; };
    services.now = [this] { return now; };
    services.request_timeout = timeout;
    auth = std::make_unique<HostAuth>(c.value_or(config()), main, std::move(services));
  }

  std::optional<json::object> record() {
    auto parsed = *stored ? json::parse(**stored) : std::nullopt;
    if (!parsed || !parsed->is_object()) return std::nullopt;
    return parsed->get_object();
  }

  std::size_t sent(std::string_view path) { return service.requestsTo(path).size(); }

  FakeAuthService service;
  GLibEventLoop main;
  std::shared_ptr<std::optional<std::string>> stored =
      std::make_shared<std::optional<std::string>>();
  bool refuse = false;
  std::optional<LinkHandler> links = LinkHandler{"app.quillstone.Quillstone.desktop", {}};
  double now = 1.9e9;
};

TEST_F(HostAuthTest, SignInKeepsTheSessionAndSignOutEndsIt) {
  service.session_jwt = FakeAuthService::jwt(now + 3600);
  EXPECT_EQ(user(), std::nullopt);

  auto browser = startSignIn();
  ASSERT_EQ(browser->opened, service.origin() + "/browser/start?state=s-1");
  // A second sign-in while the browser shows is busy at once.
  std::optional<SignInOutcome> second;
  auth->signIn(qs::testing::browserSignIn(std::make_shared<qs::testing::Browser>()),
               [&](SignInOutcome o) { second = o; });
  ASSERT_TRUE(second);
  EXPECT_EQ(json::value(second->pageValue()), json::parse(R"({"error":"busy"})"));

  auth->callback(callbackWith("v-1"));
  EXPECT_TRUE(browser->closed);
  ASSERT_TRUE(spinUntil([&] { return outcome.has_value(); }));
  EXPECT_EQ(json::value(outcome->pageValue()),
            json::parse(R"({"user":{"id":"u-1","name":"Ada","email":""}})"));

  // What went over the wire beside the methods and cookies auth_e2e sees.
  const auto start = service.requestsTo("sign-in/social").at(0);
  EXPECT_EQ(start.header("Content-Type"), "application/json");
  EXPECT_EQ(start.header("Origin"), "https://quillstone.test:8443");
  EXPECT_EQ(json::parse(start.body), json::parse(R"({"provider":"google",
            "callbackURL":"https://quillstone.test:8443/app/auth/callback/"})"));
  EXPECT_EQ(service.requestsTo("get-session").at(0).header("Accept"), "application/json");
  EXPECT_EQ(json::value(*record()),
            json::parse(R"({"cookie":"__Secure-neon-auth.session_token=sess-1",
            "user":{"id":"u-1","name":"Ada","email":""}})"));

  // A second callback finds no sign-in under way.
  CaptureStderr();
  auth->callback(callbackWith("v-1"));
  EXPECT_NE(GetCapturedStderr().find("ignored a sign-in callback"), std::string::npos);

  // The token came with the session: handed out without asking.
  EXPECT_EQ(token(), service.session_jwt);
  EXPECT_EQ(sent("get-session"), 1u);
  EXPECT_EQ(user(), json::parse(R"({"id":"u-1","name":"Ada","email":""})")->get_object());

  // The service failing to sign out changes nothing here: the session is gone already.
  service.answerAt("sign-out", Answer{500, {}, "{}"});
  signOut();
  const auto out = service.requestsTo("sign-out").at(0);
  EXPECT_EQ(out.header("Origin"), "https://quillstone.test:8443");
  EXPECT_EQ(out.header("Content-Type"), "application/json");
  EXPECT_EQ(out.body, "{}");
  EXPECT_EQ(*stored, std::nullopt);
  EXPECT_EQ(token(), std::nullopt);  // the cached token went with the session
  EXPECT_EQ(user(), std::nullopt);

  // Signed out already: nothing is sent.
  const auto asked = service.requests.size();
  signOut();
  EXPECT_EQ(token(), std::nullopt);
  EXPECT_EQ(service.requests.size(), asked);
}

// The verifier goes on percent-encoded; a callback the rules refuse asks nothing.
TEST_F(HostAuthTest, OnlyTheServicesCallbackIsTaken) {
  const std::string longest = std::string(4093, 'a') + "+/é";
  ASSERT_EQ(text::grapheme_count(longest), kVerifierLimit);
  EXPECT_EQ(signIn(callbackWith(longest)), "");
  EXPECT_EQ(service.requestsTo("get-session").back().query,
            "neon_auth_session_verifier=" + std::string(4093, 'a') + "%2B%2F%C3%A9");
  const auto asked = sent("get-session");
  EXPECT_EQ(signIn(callbackWith("v-1") + "&error=access_denied"), "failed");
  EXPECT_EQ(sent("get-session"), asked);
}

// A start or a session answer that falls short ends the sign-in, and nothing is kept.
TEST_F(HostAuthTest, AnAnswerThatFallsShortEndsTheSignIn) {
  FakeAuthService elsewhere;  // another host, on another address
  const std::string challenge = "Set-Cookie";
  const std::string chal = "neon-auth.session_challenge=c; Path=/";
  const std::string page = R"({"url":"https://quillstone.test/start"})";
  auth::Headers thousand;
  for (int i = 0; i < 1000; ++i) thousand.emplace_back("Set-Cookie", std::to_string(i) + "c=v");
  const std::string huge(50 << 20, ' ');
  const std::string start = "sign-in/social", session = "get-session";
  const std::string cookie = "__Secure-neon-auth.session_token=s";
  const std::string with_user = R"({"user":{"id":"u-1"}})";
  struct Case {
    std::string what, path;
    Answer answer;
  };
  const std::vector<Case> cases = {
      {"not 200", start, {500, {{challenge, chal}}, page}},
      {"not JSON", start, {200, {{challenge, chal}}, "<html>"}},
      {"no url", start, {200, {{challenge, chal}}, R"({"url":7})"}},
      {"a url that isn't one", start, {200, {{challenge, chal}}, R"({"url":"https://a b"})"}},
      {"not a web page", start, {200, {{challenge, chal}}, R"({"url":"file:///etc/passwd"})"}},
      {"no challenge", start, {200, {}, page}},
      {"a thousand cookies, no challenge", start, {200, thousand, page}},
      {"a challenge for another domain",
       start,
       {200, {{challenge, chal + "; Domain=example.org"}}, page}},
      {"50 MB", start, {200, {{challenge, chal}}, page + huge}},
      {"a redirect to another host",
       start,
       {307, {{"Location", elsewhere.base() + "/sign-in/social"}, {challenge, chal}}, page}},
      {"no answer", start, {200, {}, "", true}},
      {"a session not 200", session, {401, {{"Set-Cookie", cookie}}, with_user}},
      {"no session cookie", session, {200, {{"Set-Cookie", "other_token=s"}}, with_user}},
      {"an empty session cookie",
       session,
       {200, {{"Set-Cookie", "neon.session_token="}}, with_user}},
      {"no user", session, {200, {{"Set-Cookie", cookie}}, R"({"session":{}})"}},
      {"a user without an id", session, {200, {{"Set-Cookie", cookie}}, R"({"user":{"id":1}})"}},
  };
  for (const auto& c : cases) {
    // A short time limit only where no answer is to come: a slow one must still count.
    make(config(), c.answer.hang ? std::chrono::milliseconds(300) : std::chrono::seconds(60));
    service.answerAt(c.path, c.answer);
    const auto asked = sent(session);
    EXPECT_EQ(signIn(callbackWith("v-1")), "failed") << c.what;
    EXPECT_EQ(sent(session), asked + (c.path == session)) << c.what;
    EXPECT_EQ(*stored, std::nullopt) << c.what;
  }
  EXPECT_TRUE(elsewhere.requests.empty());

  // An http page is only for a service on the debug switch.
  service.answer = nullptr;
  AuthConfig packaged = config();
  packaged.debug_base = false;
  make(packaged);
  EXPECT_EQ(signIn(""), "failed");
  // No service address: nothing is asked.
  AuthConfig none = config();
  none.base.reset();
  make(none);
  const auto asked = service.requests.size();
  EXPECT_EQ(signIn(""), "failed");
  EXPECT_EQ(service.requests.size(), asked);

  make();
  // A store that won't keep the session fails the sign-in, and says why.
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
  EXPECT_EQ(token(), service.token);
  EXPECT_EQ(sent("token"), 1u);
}

TEST_F(HostAuthTest, TokensAreCachedUntilAMinuteBeforeTheyExpire) {
  service.session_jwt = FakeAuthService::jwt(now + 61);
  ASSERT_EQ(signIn(callbackWith("v-1")), "");
  EXPECT_EQ(token(), service.session_jwt);
  EXPECT_EQ(sent("get-session"), 1u);  // the session request alone

  // 59 s left: the session is checked; its token has no "exp", so "token" is asked.
  now += 2;
  service.check_jwt = FakeAuthService::jwt(std::nullopt);
  service.renewed_token = "sess-2";
  service.token = FakeAuthService::jwt(now + 3600.5);
  EXPECT_EQ(token(), service.token);
  EXPECT_EQ(service.requestsTo("get-session").back().header("Cookie"),
            "__Secure-neon-auth.session_token=sess-1");
  EXPECT_EQ(service.requestsTo("token").at(0).header("Cookie"),
            "__Secure-neon-auth.session_token=sess-1");
  // The renewed cookie replaced the stored one.
  EXPECT_EQ(json::find_string(*record(), "cookie"), "__Secure-neon-auth.session_token=sess-2");
  EXPECT_EQ(token(), service.token);  // cached now
  EXPECT_EQ(sent("token"), 1u);

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
  EXPECT_EQ(token(), service.check_jwt);
  EXPECT_EQ(sent("token"), asked);
}

TEST_F(HostAuthTest, OnlyTheServiceSayingSoEndsTheStoredSession) {
  ASSERT_EQ(signIn(callbackWith("v-1")), "");
  const auto kept = *stored;
  const std::vector<std::pair<std::string, Answer>> outages = {
      {"not 200", {503, {}, "{}"}},
      {"not JSON", {200, {}, "<html>portal</html>"}},
      {"no answer", {200, {}, "", true}},
  };
  for (const auto& [what, answer] : outages) {
    // No cached token; a short time limit only where no answer is to come.
    make(config(), answer.hang ? std::chrono::milliseconds(300) : std::chrono::seconds(60));
    service.answerAt("get-session", answer);
    EXPECT_EQ(token(), std::nullopt) << what;
    EXPECT_EQ(*stored, kept) << what;
  }
  // The token request failing: none, and the session stays.
  service.answerAt("token", Answer{500, {}, "{}"});
  EXPECT_EQ(token(), std::nullopt);
  EXPECT_EQ(*stored, kept);

  // The service ended it: forgotten.
  make();
  service.answer = nullptr;
  service.session_token.clear();
  EXPECT_EQ(token(), std::nullopt);
  EXPECT_EQ(*stored, std::nullopt);
}

TEST_F(HostAuthTest, TheBrowserPartEndsTheSignInItsOwnWay) {
  for (const auto& [end, page] : {std::pair{BrowserSignIn::End::kCancelled, "cancelled"},
                                  std::pair{BrowserSignIn::End::kFailed, "failed"}}) {
    auto browser = startSignIn();
    ASSERT_TRUE(browser->ended);
    auto ended = browser->ended;  // its own call may free the browser part
    ended(end);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(json::value(outcome->pageValue()), json::value(json::object{{"error", page}}));
    EXPECT_TRUE(browser->closed);
    EXPECT_FALSE(auth->busy());
  }
  EXPECT_EQ(sent("get-session"), 0u);

  // Links that don't reach this program: said so, and nothing is asked.
  links = LinkHandler{"org.other.Browser.desktop", "/usr/bin/other"};
  make();
  CaptureStderr();
  auto browser = startSignIn();
  EXPECT_NE(GetCapturedStderr().find("links open org.other.Browser.desktop"), std::string::npos);
  EXPECT_TRUE(browser->told_unreachable);
  EXPECT_EQ(errorCode(outcome->error), "failed");
  EXPECT_EQ(sent("sign-in/social"), 2u);
}

TEST_F(HostAuthTest, AStoredRecordThatIsntASessionCountsAsSignedOut) {
  for (const std::string& broken :
       {std::string("not json"), std::string(R"(["cookie"])"),
        std::string(R"({"cookie":"neon.session_token=s","user":"Ada"})"),
        std::string(R"({"cookie":7,"user":{"id":"u"}})"),
        std::string(R"({"cookie":"a=b\r\nX-Evil: 1","user":{"id":"u"}})")}) {
    *stored = broken;
    EXPECT_EQ(token(), std::nullopt) << broken;
    if (broken.find(R"("user":{)") == std::string::npos) {
      EXPECT_EQ(user(), std::nullopt) << broken;
    }
  }
  EXPECT_TRUE(service.requests.empty());
}

}  // namespace
}  // namespace qs::auth
