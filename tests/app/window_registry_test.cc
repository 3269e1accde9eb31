#include "app/window_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "app/accessibility.h"
#include "app/activation.h"
#include "app/environment.h"
#include "app/spelling.h"
#include "platform/prefs.h"
#include "support/temp_dir.h"

namespace qs::app {
namespace {

TEST(LaunchTest, TheLaunchersTokenReachesThePresentWithItsTime) {
  using O = std::optional<std::string_view>;
  const std::string longest(256, 'x');
  for (const auto& [token, startup, expected] :
       std::vector<std::tuple<O, O, std::optional<Activation>>>{
           // Wayland's token first; X11's startup id carries the launch's time.
           {"wl-token-1", "gnome-shell-1234_TIME5678", Activation{"wl-token-1", 0}},
           {std::nullopt, "gnome-shell-1234_TIME5678",
            Activation{"gnome-shell-1234_TIME5678", 5678}},
           // The desktop's search sends a time alone, which is no token on Wayland.
           {"", "_TIME42", Activation{"_TIME42", 42, true}},
           // A time that isn't one leaves the token without it.
           {std::nullopt, "x_TIME12ab", Activation{"x_TIME12ab", 0}},
           {std::nullopt, "x_TIME99999999999", Activation{"x_TIME99999999999", 0}},
           // What no launcher makes is passed over: too long, spaces, controls, non-ASCII.
           {longest + "y", std::nullopt, std::nullopt},
           {longest, std::nullopt, Activation{longest, 0}},
           {"line\nbreak", "ok", Activation{"ok", 0}},
           {"caf\xc3\xa9", std::nullopt, std::nullopt}}) {
    EXPECT_EQ(activationFrom(token, startup), expected) << (token ? *token : "-");
  }

  // Development stores must be UUIDs.
  for (const char* store :
       {"0F8FAD5B-D9CB-469F-A165-70867728950E", "dev", "0f8fad5bd9cb469fa16570867728950e",
        "0f8fad5b-d9cb-469f-a165-70867728950e0", "0f8fad5b-d9cb-469f-a165-7086772895zz", ""}) {
    setenv("QUILLSTONE_DEV_STORE", store, 1);
    EXPECT_EQ(developmentStore(), store[0] == '0' && store[1] == 'F'
                                      ? std::optional("0f8fad5b-d9cb-469f-a165-70867728950e")
                                      : std::nullopt)
        << store;
  }
  unsetenv("QUILLSTONE_DEV_STORE");
  EXPECT_FALSE(developmentStore());

  // Buttons are named as they read, "__" an underscore (an alert named by its message is
  // accessibility_e2e's); spelling is on unless turned off, in the locale's languages.
  EXPECT_EQ(withoutMnemonic("Choose _Backup") + withoutMnemonic("__init") + withoutMnemonic("a_"),
            "Choose Backup_inita_");
  qs::testing::TempDir dir;
  Prefs prefs(dir.path() / "settings.json");
  ASSERT_TRUE(prefs.set(kSpellCheckingKey, "false"));  // only the boolean turns it off
  EXPECT_TRUE(spellCheckingEnabled(prefs));
  EXPECT_EQ(spellingLanguages({"sr_RS@latin", "sr_RS", "sr@latin", "sr", "C"}),
            (std::vector<std::string>{"sr_RS", "sr"}));
  EXPECT_EQ(spellingLanguages({"POSIX", ".UTF-8"}), (std::vector<std::string>{"en_US"}));

  // Windows saved in a settings file edited by hand open without what can't be read.
  WindowRegistry registry(&prefs);
  const auto any = [](const std::string&) { return true; };
  (void)prefs.set("openWindows", json::parse(R"([{"doc":5,"frame":"junk"},{}])")->as_array());
  const auto saved = registry.savedWindows(any);
  ASSERT_TRUE(saved && saved->size() == 2);
  EXPECT_FALSE((*saved)[0].docID || (*saved)[0].size);
  (void)prefs.set("openWindows", json::array{1});
  EXPECT_FALSE(registry.savedWindows(any));
}

}  // namespace
}  // namespace qs::app
