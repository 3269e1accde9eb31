// HostAuth with the service's answers given by the test, in the order it chooses.
#include "auth/host_auth.h"

#include <gtest/gtest.h>

namespace qs::auth {
namespace {

struct HeldHttp final : HttpClient {
  void send(HttpRequest, Done done) override { held->push_back(std::move(done)); }
  std::shared_ptr<std::vector<Done>> held = std::make_shared<std::vector<Done>>();
};

struct NoStore final : SecretStore {
  Found lookup() override { return {}; }
  bool replace(std::string_view, std::string*) override { return true; }
  void clear() override {}
  void interrupt() override {}
};

struct WaitingBrowser final : BrowserSignIn {
  explicit WaitingBrowser(int& count) : opened(count) {}
  void start(const std::string&, std::function<void(End)>) override { ++opened; }
  void showUnreachable() override {}
  int& opened;
};

// Two sign-ins asked before either start request is answered: the first answered goes on to the
// browser; the other is busy when its own start succeeded, and failed when it didn't.
TEST(HostAuthSignInTest, TheLaterOfTwoSimultaneousSignInsIsBusyOnlyWhenItCouldHaveGoneOn) {
  const HttpResponse started{
      200, {{"Set-Cookie", "neon-auth.session_challenge=c"}}, R"({"url":"https://a.test/s"})"};
  using Case = std::pair<std::optional<HttpResponse>, std::string>;
  for (const auto& [second, expected] :
       {Case{started, "busy"}, Case{HttpResponse{500, {}, "{}"}, "failed"}, Case{{}, "failed"}}) {
    ManualEventLoop main;
    auto http = std::make_unique<HeldHttp>();
    auto held = http->held;
    HostAuth::Services services;
    services.http = std::move(http);
    services.store = std::make_unique<NoStore>();
    services.store_queue = std::make_unique<InlineSerialQueue>();
    AuthConfig config;
    config.base = Url::parse("https://a.test/api/auth");
    HostAuth auth(config, main, std::move(services));
    int opened = 0;
    std::vector<std::string> errors;
    for (int i = 0; i < 2; ++i) {
      auth.signIn(std::make_unique<WaitingBrowser>(opened),
                  [&](SignInOutcome outcome) { errors.emplace_back(errorCode(outcome.error)); });
    }
    ASSERT_EQ(held->size(), 2u);
    (*held)[0](started);
    (*held)[1](second);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(errors, std::vector<std::string>{expected});
  }
}

}  // namespace
}  // namespace qs::auth
