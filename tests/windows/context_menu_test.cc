#include "windows/context_menu.h"

#include <gtest/gtest.h>

namespace qs::windows {
namespace {

using namespace std::chrono_literals;
using Kind = MenuEntry::Kind;
constexpr MenuEntry kSep{Kind::kSeparator, 0};
MenuEntry proposed(std::size_t i) {
  return {Kind::kProposed, i};
}
MenuEntry page(std::size_t i) {
  return {Kind::kPage, i};
}
json::array parsed(std::string_view text) {
  return json::parse(text)->as_array();
}

// Page items that don't fit a menu, the cap on their number and depth, and the menus real
// clicks open and close, are the fuzz target's and folder_menu_e2e's.
TEST(ContextMenuTest, TheMenuKeepsTheLeadingGroupsCopyPasteAndTidyPageItems) {
  // Spelling guesses, Back, the item before Copy, Copy, Cut, Paste, Select All.
  using P = Proposed;
  const std::vector<P> web = {P::kOther,     P::kSeparator, P::kOther, P::kSystem,
                              P::kSeparator, P::kOther,     P::kCopy,  P::kSystem,
                              P::kPaste,     P::kSeparator, P::kSystem};
  const auto items = pageItems(parsed(
      R"([{"kind":"separator"},{"label":"A"},{"kind":"separator"},{"kind":"separator"},
          {"label":"B"},{"kind":"separator"}])"));
  EXPECT_EQ(rebuildMenu(web, items),
            (std::vector<MenuEntry>{proposed(0), kSep, proposed(2), kSep, proposed(5), proposed(6),
                                    proposed(8), kSep, page(1), kSep, page(4)}));
  // An item before Copy that already leads the menu is not shown twice; look-up has a group of
  // its own.
  EXPECT_EQ(rebuildMenu({P::kOther, P::kCopy, P::kLookUp}, {}),
            (std::vector<MenuEntry>{proposed(0), kSep, proposed(2), kSep, proposed(1)}));

  const auto loose = pageItems(parsed(R"([
      {"label":"Plain","id":7,"enabled":"no","checked":1,"hint":"K"},
      {"label":"Off","enabled":false,"checked":true,"id":null,"hint":"\u2318\u21e7k"},
      {"id":"no label"}, {"label":5}, 3, {"label":"Sub","items":[{"label":"In","id":"in"}]}])"));
  // Enabled unless false, checked only when true; a null id is still an id.
  auto shown = [](const PageItem& i) {
    return std::tuple(i.label, i.id, i.enabled, i.checked, i.shortcut, i.submenu.size());
  };
  ASSERT_EQ(loose.size(), 3u);
  EXPECT_EQ(shown(loose[0]), std::tuple("Plain", json::value(7), true, false, std::nullopt, 0u));
  EXPECT_EQ(shown(loose[1]), std::tuple("Off", json::value(nullptr), false, true,
                                        Shortcut{true, false, true, false, "K"}, 0u));
  EXPECT_EQ(shown(loose[2]), std::tuple("Sub", std::nullopt, true, false, std::nullopt, 1u));
  EXPECT_EQ(loose[2].submenu[0].id, json::value("in"));

  // A hint needs modifiers and exactly one key.
  EXPECT_EQ(parseHint("\u2303\u2325\u00c9"), (Shortcut{false, true, false, true, "\u00e9"}));
  EXPECT_EQ(parseHint("\u21e7\u00e9"), (Shortcut{false, false, true, false, "\u00c9"}));
  for (const char* bad : {"K", "\u2318KL", "\u2318", "\u2318 K", "Ctrl+K"}) {
    EXPECT_FALSE(parseHint(bad)) << bad;
  }
}

// A choice, a stale menu and a close reported once are folder_menu_e2e's; here the close's
// delay, a choice without an id, a menu with nothing to show, and a window gone.
TEST(ContextMenuStateTest, ChoicesAndClosesReachThePageOnce) {
  ManualEventLoop loop;
  std::vector<std::string> scripts;
  std::optional<ContextMenu> menu{std::in_place, loop,
                                  [&](const std::string& s) { scripts.push_back(s); }};
  const auto t0 = ContextMenu::Clock::now();
  const std::vector<Proposed> kCopy{Proposed::kCopy};
  const auto items = parsed(R"([{"label":"Seven","id":7},{"label":"Word"}])");
  const std::string closed = "window.QuillstoneApp?.contextMenuClosed?.()";
  menu->received(items, t0);
  ASSERT_EQ(menu->opening(kCopy, t0 + 1s).page.size(), 2u);
  menu->closed();
  loop.advance(299ms);
  EXPECT_TRUE(scripts.empty());
  loop.advance(1ms);
  EXPECT_EQ(scripts, std::vector<std::string>{closed});

  menu->received(items, t0 + 10s);  // an item without an id is a choice all the same
  ASSERT_FALSE(menu->opening(kCopy, t0 + 10s).page.empty());
  menu->chose(std::nullopt);
  menu->closed();
  loop.advance(1s);
  EXPECT_EQ(scripts.size(), 1u);

  // A menu the page asked for hears of its close even when none of its items could be shown;
  // with nothing else to show, it never opens and is reported closed at once.
  const auto malformed = parsed(R"([{"id":1},{"kind":"separator"},{"label":7}])");
  for (const auto& offered : {kCopy, std::vector<Proposed>{Proposed::kSystem}}) {
    menu->received(malformed, t0 + 45s);
    const auto opened = menu->opening(offered, t0 + 45s);
    EXPECT_EQ(opened.menu.empty(), offered != kCopy);
    if (!opened.menu.empty()) menu->closed();
    loop.advance(1s);
    EXPECT_EQ(scripts, (std::vector<std::string>{closed, closed}));
    scripts.pop_back();
  }

  menu->received(items, t0 + 50s);  // a window gone before the report: nothing runs
  ASSERT_FALSE(menu->opening(kCopy, t0 + 50s).page.empty());
  menu->closed();
  menu.reset();
  loop.advance(1s);
  EXPECT_EQ(scripts.size(), 1u);
}

}  // namespace
}  // namespace qs::windows
