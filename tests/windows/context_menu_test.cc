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
  const std::vector<Proposed> web = {Proposed::kOther,     Proposed::kSeparator, Proposed::kOther,
                                     Proposed::kSystem,    Proposed::kSeparator, Proposed::kOther,
                                     Proposed::kCopy,      Proposed::kSystem,    Proposed::kPaste,
                                     Proposed::kSeparator, Proposed::kSystem};
  const auto items = pageItems(parsed(
      R"([{"kind":"separator"},{"label":"A"},{"kind":"separator"},{"kind":"separator"},
          {"label":"B"},{"kind":"separator"}])"));
  EXPECT_EQ(rebuildMenu(web, items),
            (std::vector<MenuEntry>{proposed(0), kSep, proposed(2), kSep, proposed(5), proposed(6),
                                    proposed(8), kSep, page(1), kSep, page(4)}));
  // An item before Copy that already leads the menu is not shown twice; look-up has a group of
  // its own.
  EXPECT_EQ(rebuildMenu({Proposed::kOther, Proposed::kCopy, Proposed::kLookUp}, {}),
            (std::vector<MenuEntry>{proposed(0), kSep, proposed(2), kSep, proposed(1)}));

  const auto loose = pageItems(parsed(R"([
      {"label":"Plain","id":7,"enabled":"no","checked":1,"hint":"K"},
      {"label":"Off","enabled":false,"checked":true,"id":null,"hint":"\u2318\u21e7k"},
      {"id":"no label"}, {"label":5}, 3, {"label":"Sub","items":[{"label":"In","id":"in"}]}])"));
  ASSERT_EQ(loose.size(), 3u);
  EXPECT_TRUE(loose[0].enabled && !loose[0].checked && !loose[0].shortcut);
  EXPECT_FALSE(loose[1].enabled);
  EXPECT_TRUE(loose[1].checked);
  EXPECT_EQ(loose[1].id, json::value(nullptr));  // a null id is still an id
  EXPECT_EQ(loose[1].shortcut, (Shortcut{true, false, true, false, "K"}));
  EXPECT_EQ(loose[2].submenu.at(0).id, json::value("in"));
  EXPECT_FALSE(loose[2].id);

  // A hint needs modifiers and exactly one key.
  EXPECT_EQ(parseHint("\u2303\u2325\u00c9"), (Shortcut{false, true, false, true, "\u00e9"}));
  EXPECT_EQ(parseHint("\u21e7\u00e9"), (Shortcut{false, false, true, false, "\u00c9"}));
  for (const char* bad : {"K", "\u2318KL", "\u2318", "\u2318 K", "Ctrl+K"}) {
    EXPECT_FALSE(parseHint(bad)) << bad;
  }
}

TEST(ContextMenuStateTest, ChoicesAndClosesReachThePageOnce) {
  ManualEventLoop loop;
  std::vector<std::string> scripts;
  std::optional<ContextMenu> menu{std::in_place, loop,
                                  [&](const std::string& s) { scripts.push_back(s); }};
  const auto t0 = ContextMenu::Clock::now();
  const std::vector<Proposed> kCopy{Proposed::kCopy};
  const auto items = parsed(R"([{"label":"Seven","id":7},{"label":"Word","id":"\u00e9t\u00e9"}])");
  const std::string closed = "window.QuillstoneApp?.contextMenuClosed?.()";
  // Chosen: the id itself, and no close report after it.
  menu->received(items, t0);
  ASSERT_EQ(menu->opening(kCopy, t0 + 1s).page.size(), 2u);
  menu->closed();
  menu->chose(json::value("\u00e9t\u00e9"));
  loop.advance(1s);
  EXPECT_EQ(scripts, std::vector<std::string>{
                         "window.QuillstoneApp?.contextMenuChoose?.(...[\"\\u00e9t\\u00e9\"])"});

  // Closed without a choice: reported once, 0.3 s later.
  menu->received(items, t0 + 10s);
  ASSERT_FALSE(menu->opening(kCopy, t0 + 11s).page.empty());
  menu->closed();
  menu->closed();
  loop.advance(299ms);
  EXPECT_EQ(scripts.size(), 1u);
  loop.advance(1ms);
  EXPECT_EQ(scripts.back(), closed);
  loop.advance(1s);
  EXPECT_EQ(scripts.size(), 2u);

  // Items 2.0 s old are stale; an item without an id is a choice all the same.
  menu->received(items, t0 + 20s);
  EXPECT_TRUE(menu->opening(kCopy, t0 + 22s).page.empty());
  menu->received(items, t0 + 40s);
  ASSERT_FALSE(menu->opening(kCopy, t0 + 40s).page.empty());
  menu->chose(std::nullopt);
  menu->closed();
  loop.advance(1s);
  EXPECT_EQ(scripts.size(), 2u);

  // A menu the page asked for hears of its close even when none of its items could be shown;
  // with nothing else to show, it never opens and is reported closed at once.
  const auto malformed = parsed(R"([{"id":1},{"kind":"separator"},{"label":7}])");
  for (const auto& offered : {kCopy, std::vector<Proposed>{Proposed::kSystem}}) {
    menu->received(malformed, t0 + 45s);
    const auto opened = menu->opening(offered, t0 + 45s);
    EXPECT_EQ(opened.menu.empty(), offered != kCopy);
    if (!opened.menu.empty()) menu->closed();
    loop.advance(1s);
    ASSERT_EQ(scripts.size(), 3u);
    EXPECT_EQ(scripts.back(), closed);
    scripts.pop_back();
  }

  // A window gone before the report: nothing runs.
  menu->received(items, t0 + 50s);
  ASSERT_FALSE(menu->opening(kCopy, t0 + 50s).page.empty());
  menu->closed();
  menu.reset();
  loop.advance(1s);
  EXPECT_EQ(scripts.size(), 2u);
}

}  // namespace
}  // namespace qs::windows
