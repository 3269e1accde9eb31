#include "menus/menu_bar.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>

#include "menus/app_actions.h"
#include "menus/key_routing.h"

namespace qs::menus {
namespace {

using Kind = MenuItem::Kind;

struct FakeCommands final : AppCommands {
  void perform(AppCommand command, const std::shared_ptr<MenuWindow>& window) override {
    performed.emplace_back(command, window != nullptr);
  }
  bool claudeOn() const override { return claude; }
  std::vector<std::pair<AppCommand, bool>> performed;
  bool claude = false;
};

struct FakeWindow final : MenuWindow {
  const json::object& menuState() const override { return state; }
  void run(const std::string& command, const json::value& args,
           std::function<void(bool)> then) override {
    runs.push_back(command + " " + json::compact(args).value_or("?"));
    if (then) pending = std::move(then);
  }
  void pressKey(const bridge::KeyDescriptor& key) override { keys.push_back(key); }
  void pressPath(std::vector<std::string> labels) override { paths.push_back(std::move(labels)); }
  json::object state;
  std::vector<std::string> runs;
  std::vector<bridge::KeyDescriptor> keys;
  std::vector<std::vector<std::string>> paths;
  std::function<void(bool)> pending;
};

class MenuBarTest : public ::testing::Test {
 protected:
  MenuBarTest() : builder(commands), bar(builder.buildMenu()) {}

  const MenuItem& item(std::string_view path) {
    const MenuItem* found = bar.find(path);
    EXPECT_TRUE(found) << path;
    static const MenuItem none;
    return found ? *found : none;
  }
  // The titles joined by "|", a separator as "-".
  static std::string titles(const std::vector<MenuItem>& items) {
    std::string out;
    for (const auto& i : items)
      out += (out.empty() ? "" : "|") + (i.kind == Kind::kSeparator ? "-" : i.title);
    return out;
  }
  // Every item, depth first, with its path.
  void each(const std::function<void(const std::string&, const MenuItem&)>& f) {
    std::function<void(const std::string&, const std::vector<MenuItem>&)> walk =
        [&](const std::string& at, const std::vector<MenuItem>& items) {
          for (const auto& i : items) {
            f(at + i.title, i);
            walk(at + i.title + "/", i.items);
          }
        };
    walk("", bar.menus);
  }
  MenuAction::Validation validate(std::string_view path, const json::object* state) {
    return item(path).action->validate(state);
  }

  FakeCommands commands;
  MenuBuilder builder;
  MenuBar bar;
};

// What each action runs in a window is seen end to end (menus_e2e); here, that none of them does
// anything, or crashes, without one.
TEST_F(MenuBarTest, EveryActionFiresSafelyWithoutAWindow) {
  const auto ran = commands.performed.size();
  std::size_t fired = 0;
  each([&](const std::string&, const MenuItem& i) {
    if (!i.action || (i.kind != Kind::kPageCommand && i.kind != Kind::kPageKey)) return;
    i.action->fire(nullptr);
    ++fired;
  });
  EXPECT_GT(fired, 50u);
  EXPECT_EQ(commands.performed.size(), ran);
}

TEST_F(MenuBarTest, WithoutAWindowOnlyTheApplicationItemsStayEnabled) {
  std::set<std::string> enabled;
  each([&](const std::string& path, const MenuItem& i) {
    if (i.action && i.action->validate(nullptr).enabled) enabled.insert(path);
  });
  EXPECT_EQ(enabled,
            (std::set<std::string>{
                "Quillstone/About Quillstone", "Quillstone/Check for Updates…", "File/New Window",
                "File/Open…", "File/Import…", "File/Import Backup from the Browser…",
                "File/Show in Files", "File/Open Writing Folder", "File/Move Writing Folder…",
                "File/Show Restore Points", "AI/Claude on This Computer", "Help/Keyboard Shortcuts",
                "Help/quillstone.app", "Help/Privacy Policy"}));

  item("File/Show Restore Points").action->fire(nullptr);
  auto window = std::make_shared<FakeWindow>();
  item("AI/Claude on This Computer").action->fire(window);
  EXPECT_EQ(commands.performed,
            (std::vector<std::pair<AppCommand, bool>>{{AppCommand::kShowRestorePoints, false},
                                                      {AppCommand::kClaudeOnThisComputer, true}}));
  // Its check mark follows the setting, with or without a window.
  commands.claude = true;
  EXPECT_EQ(validate("AI/Claude on This Computer", nullptr).checked, true);
  commands.claude = false;
  const json::object state;
  EXPECT_EQ(validate("AI/Claude on This Computer", &state).checked, false);
}

TEST_F(MenuBarTest, PredicatesReadTheLastStateWhole) {
  // Before the page has said anything: every item with an enabled predicate is off, except the
  // two that ask for "onThreadRow" to be false.
  const json::object empty;
  std::set<std::string> on, gated;
  each([&](const std::string& path, const MenuItem& i) {
    if (!i.action || !i.action->enabled) return;
    gated.insert(path);
    if (i.action->validate(&empty).enabled) on.insert(path);
  });
  EXPECT_EQ(on,
            (std::set<std::string>{"Insert/Bullet as Document", "Insert/Bring Up to the Surface"}));
  EXPECT_EQ(gated.size(), 14u);

  auto state = json::parse(R"({"op":"state","canUndo":true,"canRedo":1,"mode":"outline",
      "panelTab":"pretext","library":true,"libraryView":"list","librarian":true,
      "librarianOpen":true,"temp":"cold","statShown":"theAIs","onThreadRow":true,
      "hasNudges":true,"docThread":0})")
                   ->as_object();
  // (enabled, checked) of each: numbers count as booleans.
  for (const auto& [path, enabled, checked] :
       std::vector<std::tuple<std::string, bool, std::optional<bool>>>{
           {"Edit/Redo", true, false},
           {"View/Subtext", true, true},
           {"View/Text", true, false},
           {"View/Pretext", true, true},
           {"View/as List", true, true},
           {"View/Edit Cold", true, true},
           {"View/Show Count/The AI's", true, true},
           {"Insert/Bullet as Document", false, false},
           {"AI/AI for This Document…", false, false}}) {
    const auto v = validate(path, &state);
    EXPECT_EQ(v.enabled, enabled) << path;
    EXPECT_EQ(v.checked.value_or(false), checked.value_or(false)) << path;
  }

  // A later state of the wrong types replaces it whole: nothing stays checked or enabled.
  auto bad = json::parse(R"({"op":"state","canUndo":"yes","mode":["outline"],"library":"true",
      "libraryView":7,"statShown":null,"temp":{"hot":true},"depth":[2],"recent":"x"})")
                 ->as_object();
  each([&](const std::string& path, const MenuItem& i) {
    if (!i.action || !i.action->checked) return;
    EXPECT_EQ(i.action->validate(&bad).checked, false) << path;
  });
  EXPECT_FALSE(validate("Edit/Undo", &bad).enabled);
  // Items without predicates follow the window alone; their check marks are left alone.
  EXPECT_TRUE(validate("File/New Document", &bad).enabled);
  EXPECT_FALSE(validate("File/New Document", &bad).checked);
}

TEST_F(MenuBarTest, SubtextDepthItemsFollowTheDepthObject) {
  auto checkedLevels = [&](std::string_view depth) {
    auto state = json::parse(std::string(R"({"depth":)") + std::string(depth) + "}")->as_object();
    std::string out;
    for (const auto& i : item("View/Subtext Depth").items) {
      if (!i.action) continue;
      const auto v = i.action->validate(&state);
      if (v.checked.value_or(false)) out += "[" + i.title + "]";
      if (i.title == "Only This Level") out += v.enabled ? " only-on" : " only-off";
    }
    return out;
  };
  EXPECT_EQ(checkedLevels(R"({"upTo": 2})"), "[2 Levels] only-on");
  EXPECT_EQ(checkedLevels(R"({"upTo": 1})"), "[1 Level] only-on");
  EXPECT_EQ(checkedLevels(R"({"upTo": 1.9})"), "[1 Level] only-on");  // cut, not rounded
  EXPECT_EQ(checkedLevels(R"({"upTo": 0})"), "[Points] only-off");
  EXPECT_EQ(checkedLevels(R"({"upTo": 4})"), " only-off");
  EXPECT_EQ(checkedLevels(R"({"upTo": 2, "only": true})"), "[Only This Level] only-on");
  EXPECT_EQ(checkedLevels(R"({})"), "[All Levels] only-off");
  EXPECT_EQ(checkedLevels(R"({"upTo": "2"})"), "[All Levels] only-off");
  EXPECT_EQ(checkedLevels(R"({"library": true})"), "[Library] only-off");
  EXPECT_EQ(checkedLevels(R"({"library": 1, "only": true, "upTo": 2})"), "[Library] only-on");
  EXPECT_EQ(checkedLevels(R"({"upTo": 1e300})"), "[All Levels] only-off");  // no integer
  EXPECT_EQ(checkedLevels("null"), " only-off");
}

// AI for This Document presses the page's own controls when its command isn't taken (seen end to
// end); an answer that comes after its window went is dropped.
TEST_F(MenuBarTest, AnAnswerAfterTheWindowWentIsDropped) {
  auto window = std::make_shared<FakeWindow>();
  item("AI/AI for This Document…").action->fire(window);
  auto late = std::move(window->pending);
  ASSERT_TRUE(late);
  window.reset();
  late(false);
}

TEST_F(MenuBarTest, TheBarAndItsKeysOnThisDesktop) {
  EXPECT_EQ(item("File/Open Recent").role, MenuItem::Role::kOpenRecent);
  EXPECT_EQ(item("Window").role, MenuItem::Role::kWindows);
  EXPECT_EQ(item("AI/The AI writes only beneath the page.").kind, Kind::kLabel);
  adaptForLinux(bar);
  shiftedAsCapitals(bar);
  // Nothing without a counterpart here, and no separator left doubled or at an end.
  EXPECT_EQ(titles(item("Quillstone").items),
            "About Quillstone|Check for Updates…|-|Settings…|-|Hide Quillstone|Show All|-|"
            "Quit Quillstone");
  EXPECT_EQ(titles(item("Window").items), "Minimize|Zoom|-|Bring All to Front");
  EXPECT_EQ(titles(item("Edit/Spelling and Grammar").items), "Check Spelling While Typing");

  struct Expect {
    std::string path, accel, label;
  };
  for (const auto& e : std::vector<Expect>{
           {"File/Open…", "<Shift><Primary>o", "Shift+Ctrl+O"},
           {"Quillstone/Settings…", "<Primary>comma", "Ctrl+,"},
           {"Edit/Delete Paragraph or Thought", "<Shift><Primary>BackSpace",
            "Shift+Ctrl+BackSpace"},
           {"Edit/Move Up", "<Alt>Up", "Alt+Up"},
           {"View/Back", "<Primary><Super>Left", "Ctrl+Super+Left"},
           {"View/Larger Text", "<Primary>plus", "Ctrl++"},
           {"View/Typewriter", "<Shift><Primary><Alt>t", "Shift+Ctrl+Alt+T"},  // moved
       }) {
    const MenuItem& i = item(e.path);
    EXPECT_EQ(linuxAccelerator(i.key, i.mask), e.accel) << e.path;
    EXPECT_EQ(glyphs(i), e.label) << e.path;
  }
  EXPECT_EQ(linuxAccelerator("", kCommand), "");
  // A capital implies shift when the mask doesn't say so.
  MenuItem capital;
  capital.key = "K";
  capital.mask = kCommand;
  EXPECT_EQ(glyphs(capital), "Shift+Ctrl+K");
  std::vector<MenuItem> braces{
      MenuBuilder::platform("x", "{", kShift | kCommand, PlatformCommand::kNextTab)};
  shiftedAsCapitals(braces);
  EXPECT_EQ(braces[0].key, "{");

  // Every action has a name of its own; the hidden Larger Text is a second key of the first.
  std::map<std::string, std::string> names;
  each([&](const std::string& path, const MenuItem& i) {
    if (i.kind == Kind::kSeparator || i.kind == Kind::kSubmenu || i.kind == Kind::kLabel) {
      EXPECT_TRUE(i.name.empty()) << path;
      return;
    }
    ASSERT_FALSE(i.name.empty()) << path;
    if (i.hidden) return;
    EXPECT_TRUE(names.emplace(i.name, path).second) << i.name << " for " << path;
  });
}

TEST_F(MenuBarTest, TheShortcutsPanelListsTheDirectItemsWithKeys) {
  adaptForLinux(bar);
  shiftedAsCapitals(bar);
  const auto sections = shortcutSections(bar);
  std::map<std::string, std::vector<std::string>> listed;
  std::vector<std::string> headings;
  for (const auto& s : sections) {
    headings.push_back(s.heading);
    for (const auto& l : s.lines) listed[s.heading].push_back(l.title + "\t" + l.keys);
  }
  EXPECT_EQ(headings, (std::vector<std::string>{"Quillstone", "File", "Edit", "View", "See",
                                                "Insert", "AI", "Window", "Help"}));
  auto has = [&](const std::string& menu, const std::string& line) {
    const auto& l = listed[menu];
    return std::find(l.begin(), l.end(), line) != l.end();
  };
  // The hidden second key of Larger Text is not listed; Find's submenu items are not direct.
  EXPECT_TRUE(has("View", "Larger Text\tCtrl++"));
  EXPECT_FALSE(has("View", "Larger Text\tCtrl+="));
  EXPECT_EQ(listed["Help"], std::vector<std::string>{"Keyboard Shortcuts\tCtrl+/"});
  for (const auto& line : listed["Edit"]) EXPECT_EQ(line.find("Find"), std::string::npos);

  MenuBar only_submenus;
  only_submenus.menus.push_back(MenuBuilder::menu(
      "Extra", {MenuBuilder::menu("Inner", {builder.cmd("X", "x", kCommand, "x")})}));
  EXPECT_TRUE(shortcutSections(only_submenus).empty());
}

TEST(MenuKeysTest, TheMenuBarTriesOnlyTheKeysItMayTake) {
  const json::object none;
  auto library = json::parse(R"({"library":true,"hasSelection":true})")->as_object();
  const MenuState empty(&none), showing(&library);
  const unsigned C = kCommand, T = kControl, O = kOption, S = kShift;
  struct Case {
    const char* key;
    unsigned mask;
    bool inLibrary, handled;
  };
  // Copy, paste, cut and select-all always go to the page; ⇧⌘V is Pretext, not paste; the See
  // items (⌥⌘1) go to the menu bar first.
  for (const Case& c : std::vector<Case>{{"c", C, true, false},
                                         {"v", C, true, false},
                                         {"x", C, true, false},
                                         {"a", C, true, false},
                                         {"C", C, true, false},
                                         {"v", S | C, false, true},
                                         {"k", C, false, false},
                                         {"k", C, true, true},
                                         {"3", T | C, false, false},
                                         {"3", T | C, true, true},
                                         {"4", T | C, false, true},
                                         {"t", T | C, true, false},
                                         {"l", T | C, false, true},
                                         {"1", O | C, false, true},
                                         {"z", C, false, true},
                                         {"", T, false, true},
                                         {"a", 0, true, false},
                                         {"\uF700", O, true, false},
                                         {"c", S, false, false}}) {
    EXPECT_EQ(menuHandles(c.key, c.mask, c.inLibrary ? showing : empty), c.handled)
        << c.key << " " << c.mask << " " << c.inLibrary;
    // The key went to the menu bar only while no press of it reaches the page (no item took it).
    KeyRecord record;
    EXPECT_EQ(record.pressed(c.key, c.mask, c.inLibrary ? showing : empty), c.handled);
    EXPECT_EQ(record.lastKey(), c.handled ? KeyWent::kMenu : KeyWent::kPage) << c.key;
    record.reachedPage();
    EXPECT_EQ(record.lastKey(), KeyWent::kPage);
  }
  EXPECT_EQ(maskFromLinux(true, true, false, false), S | C);
  EXPECT_EQ(maskFromLinux(false, true, true, true), T | O | C);
  // F10 alone opens the menu bar; with a modifier (Shift+F10: a context menu) it is the page's.
  EXPECT_TRUE(opensMenuBar("F10", 0));
  for (unsigned held : {S, C, O, T}) EXPECT_FALSE(opensMenuBar("F10", held)) << held;
  EXPECT_FALSE(opensMenuBar("F1", 0));
  EXPECT_FALSE(opensMenuBar("f10", 0));
}

TEST(RecentDocumentsTest, ThePageListNamesTheNineSlots) {
  auto slots = [](std::string_view state) {
    auto parsed = json::parse(state)->as_object();
    std::string out;
    for (const auto& s : nameRecentDocs(MenuState(&parsed))) {
      out += (s.shown ? "" : "~") + s.title + "|";
    }
    return out;
  };
  const std::string numbered =
      "Recent Document 1|Recent Document 2|Recent Document 3|Recent Document 4|Recent Document "
      "5|Recent Document 6|Recent Document 7|Recent Document 8|Recent Document 9|";
  EXPECT_EQ(slots("{}"), numbered);
  EXPECT_EQ(slots(R"({"recent": {"title": "x"}})"), numbered);
  EXPECT_EQ(slots(R"({"recent": [{"title":"Notes"}, {"title":""}, 5]})"),
            "Notes|Untitled|Untitled|~Untitled|~Untitled|~Untitled|~Untitled|~Untitled|~Untitled|");
  const std::string many = R"({"recent": [)" + std::string(R"({"title":"a\nb\u0007"},)") +
                           R"({"title":")" + std::string(300, 'w') + R"("}]})";
  const auto named = nameRecentDocs(MenuState(&json::parse(many)->as_object()));
  EXPECT_EQ(named[0].title, "a b ");
  EXPECT_EQ(named[1].title, std::string(79, 'w') + "…");
}

TEST(AppActionsTest, ShowInFilesSelectsTheDocumentOrTheWritingFolder) {
  const std::filesystem::path root = "/home/a/Writing";
  auto url = [&](const std::string& id) -> std::optional<std::filesystem::path> {
    if (id == "known" || id == "_reserved") return root / (id + ".quillstone");
    return std::nullopt;
  };
  EXPECT_EQ(revealTarget("known", url, root), root / "known.quillstone");
  EXPECT_EQ(revealTarget("_reserved", url, root), root);
  EXPECT_EQ(revealTarget("gone", url, root), root);
  EXPECT_EQ(revealTarget(std::nullopt, url, root), root);
}

}  // namespace
}  // namespace qs::menus
