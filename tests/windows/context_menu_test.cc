#include "windows/context_menu.h"

#include <gtest/gtest.h>

namespace qs::windows {
namespace {

using namespace std::chrono_literals;

// What the page's items become, and choices and closes told once, are the fuzz target's and
// folder_menu_e2e's; here the close's delay, and a window gone before it ends.
TEST(ContextMenuTest, TheCloseIsToldAfterItsDelayWhileTheWindowLives) {
  ManualEventLoop loop;
  std::vector<std::string> scripts;
  std::optional<ContextMenu> menu{std::in_place, loop,
                                  [&](const std::string& s) { scripts.push_back(s); }};
  const auto t0 = ContextMenu::Clock::now();
  for (int gone : {0, 1}) {
    menu->received(json::parse(R"([{"label":"Seven","id":7}])")->as_array(), t0 + gone * 10s);
    ASSERT_FALSE(menu->opening({Proposed::kCopy}, t0 + gone * 10s).page.empty());
    menu->closed();
    loop.advance(ContextMenu::kCloseDelay - 1ms);
    EXPECT_TRUE(scripts.empty());
    if (gone) menu.reset();
    loop.advance(1ms);
    EXPECT_EQ(scripts.size(), gone ? 0u : 1u);
    scripts.clear();
  }
}

}  // namespace
}  // namespace qs::windows
