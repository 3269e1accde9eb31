#include "app/activation.h"

#include <gtest/gtest.h>

#include <vector>

namespace qs::app {
namespace {

TEST(ActivationTest, TheLaunchersTokenReachesThePresentWithItsTime) {
  using O = std::optional<std::string_view>;
  struct Case {
    O activation_token, startup_id;
    std::optional<Activation> expected;
  };
  const std::string longest(256, 'x');
  for (const auto& [token, startup, expected] : std::vector<Case>{
           // Wayland's token first; X11's startup id carries the launch's time.
           {"wl-token-1", "gnome-shell-1234_TIME5678", Activation{"wl-token-1", 0}},
           {std::nullopt, "gnome-shell-1234_TIME5678",
            Activation{"gnome-shell-1234_TIME5678", 5678}},
           // The desktop's search sends a time alone, which is no token on Wayland.
           {std::nullopt, "_TIME42", Activation{"_TIME42", 42, true}},
           // A time that isn't one leaves the token without it.
           {std::nullopt, "x_TIME", Activation{"x_TIME", 0}},
           {std::nullopt, "x_TIME12ab", Activation{"x_TIME12ab", 0}},
           {std::nullopt, "x_TIME99999999999", Activation{"x_TIME99999999999", 0}},
           // What no launcher makes is passed over: empty, too long, spaces, controls, non-ASCII.
           {"", "_TIME7", Activation{"_TIME7", 7, true}},
           {longest + "y", std::nullopt, std::nullopt},
           {longest, std::nullopt, Activation{longest, 0}},
           {"two words", std::nullopt, std::nullopt},
           {"line\nbreak", "ok", Activation{"ok", 0}},
           {"caf\xc3\xa9", std::nullopt, std::nullopt},
           {std::nullopt, std::nullopt, std::nullopt}}) {
    EXPECT_EQ(activationFrom(token, startup), expected)
        << (token ? *token : "-") << " " << (startup ? *startup : "-");
  }
  EXPECT_TRUE(usableToken("a"));
  EXPECT_FALSE(usableToken(""));
}

}  // namespace
}  // namespace qs::app
