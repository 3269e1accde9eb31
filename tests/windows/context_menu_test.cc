#include "windows/context_menu.h"

#include <gtest/gtest.h>

namespace qs::windows {
namespace {

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

TEST(ContextMenuTest, RebuildKeepsTheLeadingGroupsCopyPasteAndThePageItemsTidy) {
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
  // Only commands that go: nothing is left, not even a separator.
  EXPECT_TRUE(rebuildMenu({Proposed::kSystem, Proposed::kSeparator, Proposed::kSystem},
                          pageItems(parsed(R"([{"kind":"separator"}])")))
                  .empty());
  EXPECT_EQ(rebuildMenu({}, pageItems(parsed(R"([{"label":"Only"}])"))),
            std::vector<MenuEntry>{page(0)});
}

TEST(ContextMenuTest, HintsNeedModifiersAndExactlyOneKey) {
  EXPECT_EQ(parseHint("\u2318\u21e7K"), (Shortcut{true, false, true, false, "K"}));
  EXPECT_EQ(parseHint("\u2318\u21e7k"), (Shortcut{true, false, true, false, "K"}));
  EXPECT_EQ(parseHint("\u2318K"), (Shortcut{true, false, false, false, "k"}));
  EXPECT_EQ(parseHint("\u2303\u2325\u00c9"), (Shortcut{false, true, false, true, "\u00e9"}));
  EXPECT_EQ(parseHint("\u21e7\u00e9"), (Shortcut{false, false, true, false, "\u00c9"}));
  for (const char* bad : {"K", "\u2318KL", "\u2318", "", "\u2318 K", "Ctrl+K"}) {
    EXPECT_FALSE(parseHint(bad)) << bad;
  }
}

TEST(ContextMenuTest, PageItemsAreReadLooselyAndCapped) {
  const auto items = pageItems(parsed(R"([
      {"label":"Plain","id":7,"enabled":"no","checked":1,"hint":"K"},
      {"label":"Off","enabled":false,"checked":true,"id":null,"hint":"\u2318K"},
      {"id":"no label"}, {"label":5}, 3, "text", null,
      {"kind":"separator","label":"ignored"},
      {"label":"Empty","items":[]},
      {"label":"Sub","items":[{"label":"In","id":"in"},{"kind":"separator"}]},
      {"label":"Line\nbreak\u0007 and \u0085C1","items":"nope"},
      {"label":""}])"));
  ASSERT_EQ(items.size(), 7u);
  EXPECT_TRUE(items[0].enabled);
  EXPECT_FALSE(items[0].checked);
  EXPECT_EQ(items[0].id, json::value(7));
  EXPECT_FALSE(items[0].shortcut);
  EXPECT_FALSE(items[1].enabled);
  EXPECT_TRUE(items[1].checked);
  EXPECT_EQ(items[1].id, json::value(nullptr));  // a null id is still an id
  EXPECT_EQ(items[1].shortcut->key, "k");
  EXPECT_TRUE(items[2].separator);
  EXPECT_TRUE(items[3].submenu.empty());
  ASSERT_EQ(items[4].submenu.size(), 2u);
  EXPECT_EQ(items[4].submenu[0].id, json::value("in"));
  EXPECT_FALSE(items[4].id);
  EXPECT_EQ(items[5].label, "Line break  and  C1");
  EXPECT_EQ(items[6].label, "");

  // Ten thousand items, a hundred levels deep, and a label of a thousand characters.
  json::array many;
  json::value deep = json::object{{"label", "Bottom"}, {"id", "bottom"}};
  for (int i = 0; i < 100; ++i) {
    deep = json::object{{"label", "Level"}, {"items", json::array{deep}}};
  }
  many.push_back(deep);
  many.push_back(json::object{{"label", std::string(1000, 'x')}});
  for (int i = 0; i < 10000; ++i) many.push_back(json::object{{"label", "Item"}, {"id", i}});
  const auto capped = pageItems(many);
  std::size_t levels = 0, total = 0;
  const PageItem* item = &capped[0];
  for (; !item->submenu.empty(); item = &item->submenu[0]) ++levels;
  EXPECT_EQ(levels, kMaxPageDepth);
  EXPECT_FALSE(item->enabled);  // the last level's submenu shows, but can't be opened or chosen
  EXPECT_EQ(item->label, "Level");
  total = levels + 1 + capped.size() - 1;
  EXPECT_EQ(total, kMaxPageItems);
  EXPECT_EQ(capped[1].label, std::string(kMaxLabelLength - 1, 'x') + "\u2026");
}

class ContextMenuStateTest : public ::testing::Test {
 protected:
  using Clock = ContextMenu::Clock;
  ManualEventLoop loop;
  std::vector<std::string> scripts;
  std::optional<ContextMenu> menu{std::in_place, loop,
                                  [this](const std::string& s) { scripts.push_back(s); }};
  const Clock::time_point t0 = Clock::now();
};

TEST_F(ContextMenuStateTest, ChoicesAndClosesReachThePageOnce) {
  const std::vector<Proposed> kCopy{Proposed::kCopy};
  const auto items = parsed(R"([{"label":"Seven","id":7},{"label":"Word","id":"\u00e9t\u00e9"}])");
  // Chosen: the id itself, and no close report after it.
  menu->received(items, t0);
  ASSERT_EQ(menu->opening(kCopy, t0 + std::chrono::seconds(1)).page.size(), 2u);
  menu->closed();
  menu->chose(json::value(7));
  loop.advance(std::chrono::seconds(1));
  EXPECT_EQ(scripts, std::vector<std::string>{"window.QuillstoneApp?.contextMenuChoose?.(...[7])"});

  // The same items are not used again; a menu without page items reports nothing.
  EXPECT_TRUE(menu->opening(kCopy, t0 + std::chrono::seconds(2)).page.empty());
  menu->closed();
  loop.advance(std::chrono::seconds(1));
  EXPECT_EQ(scripts.size(), 1u);

  // Closed without a choice: reported once, 0.3 s later.
  menu->received(items, t0 + std::chrono::seconds(10));
  ASSERT_FALSE(menu->opening(kCopy, t0 + std::chrono::seconds(11)).page.empty());
  menu->closed();
  menu->closed();
  loop.advance(std::chrono::milliseconds(299));
  EXPECT_EQ(scripts.size(), 1u);
  loop.advance(std::chrono::milliseconds(1));
  EXPECT_EQ(scripts.back(), "window.QuillstoneApp?.contextMenuClosed?.()");
  loop.advance(std::chrono::seconds(1));
  EXPECT_EQ(scripts.size(), 2u);

  // Items 2.0 s old are stale; an item without an id is a choice all the same.
  menu->received(items, t0 + std::chrono::seconds(20));
  EXPECT_TRUE(menu->opening(kCopy, t0 + std::chrono::seconds(22)).page.empty());
  menu->received(items, t0 + std::chrono::seconds(30));
  ASSERT_FALSE(menu->opening(kCopy, t0 + std::chrono::seconds(30)).page.empty());
  menu->chose(json::value("\u00e9t\u00e9"));
  EXPECT_EQ(scripts.back(), "window.QuillstoneApp?.contextMenuChoose?.(...[\"\\u00e9t\\u00e9\"])");
  menu->received(items, t0 + std::chrono::seconds(40));
  ASSERT_FALSE(menu->opening(kCopy, t0 + std::chrono::seconds(40)).page.empty());
  menu->chose(std::nullopt);
  menu->closed();
  loop.advance(std::chrono::seconds(1));
  EXPECT_EQ(scripts.size(), 3u);

  // A menu the page asked for hears of its close even when none of its items could be shown;
  // with nothing else to show, it never opens and is reported closed at once.
  const auto malformed = parsed(R"([{"id":1},{"kind":"separator"},{"label":7}])");
  for (const auto& proposed : {kCopy, std::vector<Proposed>{Proposed::kSystem}}) {
    menu->received(malformed, t0 + std::chrono::seconds(45));
    const auto opened = menu->opening(proposed, t0 + std::chrono::seconds(45));
    EXPECT_EQ(opened.menu.empty(), proposed != kCopy);
    if (!opened.menu.empty()) menu->closed();
    loop.advance(std::chrono::seconds(1));
    ASSERT_EQ(scripts.size(), 4u);
    EXPECT_EQ(scripts.back(), "window.QuillstoneApp?.contextMenuClosed?.()");
    scripts.pop_back();
  }

  // A window gone before the report: nothing runs.
  menu->received(items, t0 + std::chrono::seconds(50));
  ASSERT_FALSE(menu->opening(kCopy, t0 + std::chrono::seconds(50)).page.empty());
  menu->closed();
  menu.reset();
  loop.advance(std::chrono::seconds(1));
  EXPECT_EQ(scripts.size(), 3u);
}

}  // namespace
}  // namespace qs::windows
