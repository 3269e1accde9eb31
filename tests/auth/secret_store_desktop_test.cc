// The session in a real Secret Service: a gnome-keyring daemon on the test's own D-Bus session.
#include <gtest/gtest.h>

#include "auth/desktop_support.h"
#include "auth/fake_auth_service.h"
#include "auth/host_auth.h"
#include "auth/secret_store.h"
#include "auth/url.h"
#include "platform/glib_event_loop.h"
#include "support/temp_dir.h"

namespace qs::auth {
namespace {

using qs::testing::FakeAuthService;
using qs::testing::spinUntil;
using qs::testing::TempDir;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

constexpr std::string_view kService = "app.quillstone.linux.direct.session";

class SecretServiceTest : public ::testing::Test, public qs::testing::AuthDriver {
 protected:
  void TearDown() override {
    auth.reset();
    qs::testing::spinPending();
  }

  // The program's HostAuth, but for its service address and links.
  void make() {
    auth.reset();
    AuthConfig config;
    config.base = Url::parse(service.base());
    config.debug_base = true;
    config.callback = "https://quillstone.test/app/auth/callback/";
    config.origin = "https://quillstone.test";
    config.service = kService;
    HostAuth::Services services;
    services.http = makeSoupHttpClient();
    services.store = makeSecretServiceStore(config.service, "neon-auth");
    services.store_queue = std::make_unique<ThreadSerialQueue>("quillstone.auth");
    auth = std::make_unique<HostAuth>(std::move(config), main, std::move(services));
  }

  // Whether `text` is in any file below the test's home.
  bool writtenInPlainText(std::string_view text) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path())) {
      if (entry.is_regular_file() &&
          qs::testing::read_text(entry.path()).find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  TempDir home;
  FakeAuthService service;
  GLibEventLoop main;
};

TEST_F(SecretServiceTest, OneItemPerServiceReplacedWhole) {
  auto keyring = std::make_unique<qs::testing::Keyring>(home.path());
  ASSERT_TRUE(keyring->running());
  auto store = makeSecretServiceStore(std::string(kService), "neon-auth");
  auto older = makeSecretServiceStore(std::string(kService), "someone-else");
  auto debug = makeSecretServiceStore(std::string(kService) + ".test", "neon-auth");
  std::string error;
  ASSERT_TRUE(older->replace("older", &error)) << error;
  ASSERT_TRUE(debug->replace("debug", &error)) << error;
  EXPECT_EQ(store->lookup().data, std::nullopt);
  EXPECT_EQ(store->lookup().error, std::nullopt);

  ASSERT_TRUE(store->replace("first", &error)) << error;
  ASSERT_TRUE(store->replace("second", &error)) << error;
  EXPECT_EQ(store->lookup().data, "second");
  EXPECT_EQ(older->lookup().data, std::nullopt);  // every account of the service went
  EXPECT_EQ(debug->lookup().data, "debug");       // debug sessions never mix with the others

  store->clear();
  EXPECT_EQ(store->lookup().data, std::nullopt);
  EXPECT_EQ(debug->lookup().data, "debug");

  // The service restarts under the program: its next calls reach the new one.
  keyring.reset();
  keyring = std::make_unique<qs::testing::Keyring>(home.path());
  ASSERT_TRUE(keyring->running());
  ASSERT_TRUE(store->replace("after a restart", &error)) << error;
  EXPECT_EQ(store->lookup().data, "after a restart");

  // At quit: what is asked after an interrupt gives up at once.
  debug->interrupt();
  EXPECT_FALSE(debug->replace("late", &error));
  EXPECT_TRUE(debug->lookup().error);
}

TEST_F(SecretServiceTest, TheSessionIsKeptThereAndNeverInPlainText) {
  const std::string callback = "quillstone://auth/callback?neon_auth_session_verifier=v-1";
  make();  // nothing on this bus answers for the Secret Service yet: no session is kept
  CaptureStderr();
  EXPECT_EQ(signIn(callback), "failed");
  EXPECT_EQ(user(), std::nullopt);
  const std::string log = GetCapturedStderr();
  EXPECT_NE(log.find("Quillstone: the session couldn't be kept in the Secret Service"),
            std::string::npos)
      << log;
  EXPECT_FALSE(writtenInPlainText("sess-1"));

  // With one, the session is kept there (auth_e2e finds it after a restart) and nowhere else.
  qs::testing::Keyring keyring(home.path());
  ASSERT_TRUE(keyring.running());
  service.session_token = "sess-9f27c4e1";
  make();
  ASSERT_EQ(signIn(callback), "");
  EXPECT_FALSE(writtenInPlainText("sess-9f27c4e1"));
  EXPECT_TRUE(makeSecretServiceStore(std::string(kService), "neon-auth")->lookup().data);
}

}  // namespace
}  // namespace qs::auth
