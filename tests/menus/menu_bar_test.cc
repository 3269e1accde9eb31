#include "menus/menu_bar.h"

#include <gtest/gtest.h>

#include <set>

#include "menus/app_actions.h"
#include "menus/key_routing.h"
#include "menus/recent_documents.h"

namespace qs::menus {
namespace {

namespace fs = std::filesystem;
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
  void run(const std::string&, const json::value&, std::function<void(bool)> then) override {
    if (then) pending = std::move(then);
  }
  void pressKey(const bridge::KeyDescriptor&) override {}
  void pressPath(std::vector<std::string>) override {}
  json::object state;
  std::function<void(bool)> pending;
};

// What each action runs in a window, its check marks and enabled flags as the page's states come
// and go, and the keys the menus say, are seen end to end (menus_e2e, accessibility_e2e).
class MenuBarTest : public ::testing::Test {
 protected:
  MenuBarTest() : builder(commands), bar(builder.buildMenu()) {}

  const MenuItem& item(std::string_view path) {
    const MenuItem* found = bar.find(path);
    EXPECT_TRUE(found) << path;
    static const MenuItem none;
    return found ? *found : none;
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

  FakeCommands commands;
  MenuBuilder builder;
  MenuBar bar;
};

// Without a window every page item is off and does nothing when fired; the application's own
// items stay on. An answer that comes after its window went is dropped.
TEST_F(MenuBarTest, WithoutAWindowOnlyTheApplicationItemsAct) {
  std::size_t fired = 0;
  each([&](const std::string& path, const MenuItem& i) {
    if (!i.action || (i.kind != Kind::kPageCommand && i.kind != Kind::kPageKey)) return;
    EXPECT_FALSE(i.action->validate(nullptr).enabled) << path;
    i.action->fire(nullptr);
    ++fired;
  });
  EXPECT_GT(fired, 50u);
  EXPECT_TRUE(commands.performed.empty());
  EXPECT_TRUE(item("File/Show Restore Points").action->validate(nullptr).enabled);
  item("File/Show Restore Points").action->fire(nullptr);
  EXPECT_EQ(commands.performed,
            (std::vector<std::pair<AppCommand, bool>>{{AppCommand::kShowRestorePoints, false}}));
  commands.claude = true;
  EXPECT_EQ(item("AI/Claude on This Computer").action->validate(nullptr).checked, true);

  auto window = std::make_shared<FakeWindow>();
  item("AI/AI for This Document…").action->fire(window);
  auto late = std::move(window->pending);
  ASSERT_TRUE(late);
  window.reset();
  late(false);
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
  // 1.9 is cut, not rounded; 1e300 is no integer.
  const std::pair<const char*, const char*> rows[] = {
      {R"({"upTo": 1.9})", "[1 Level] only-on"},
      {R"({"upTo": 0})", "[Points] only-off"},
      {R"({"upTo": 4})", " only-off"},
      {R"({"upTo": 2, "only": true})", "[Only This Level] only-on"},
      {R"({"upTo": "2"})", "[All Levels] only-off"},
      {R"({"library": 1, "only": true, "upTo": 2})", "[Library] only-on"},
      {R"({"upTo": 1e300})", "[All Levels] only-off"},
      {"null", " only-off"}};
  for (const auto& [depth, shown] : rows) {
    EXPECT_EQ(checkedLevels(depth), shown) << depth;
  }
}

TEST_F(MenuBarTest, TheBarAndItsKeysOnThisDesktop) {
  adaptForLinux(bar);
  shiftedAsCapitals(bar);
  // Nothing without a counterpart here, and no separator left doubled or at an end.
  std::string window;
  for (const auto& i : item("Window").items)
    window += (i.kind == Kind::kSeparator ? "-" : i.title) + "|";
  EXPECT_EQ(window, "Minimize|Zoom|-|Bring All to Front|");
  const std::tuple<const char*, const char*, const char*> keys[] = {
      {"File/Open…", "<Shift><Primary>o", "Shift+Ctrl+O"},
      {"Edit/Delete Paragraph or Thought", "<Shift><Primary>BackSpace", "Shift+Ctrl+BackSpace"},
      {"View/Back", "<Primary><Super>Left", "Ctrl+Super+Left"},
      {"View/Typewriter", "<Shift><Primary><Alt>t", "Shift+Ctrl+Alt+T"}};  // moved
  for (const auto& [path, accel, label] : keys) {
    EXPECT_EQ(linuxAccelerator(item(path).key, item(path).mask), accel) << path;
    EXPECT_EQ(glyphs(item(path)), label) << path;
  }
  std::vector<MenuItem> braces{
      MenuBuilder::platform("x", "{", kShift | kCommand, PlatformCommand::kNextTab)};
  shiftedAsCapitals(braces);
  EXPECT_EQ(braces[0].key, "{");
  // Every action has a name of its own; the hidden Larger Text is a second key of the first.
  std::set<std::string> names;
  each([&](const std::string& path, const MenuItem& i) {
    const bool named =
        !(i.kind == Kind::kSeparator || i.kind == Kind::kSubmenu || i.kind == Kind::kLabel);
    EXPECT_EQ(i.name.empty(), !named) << path;
    if (named && !i.hidden) {
      EXPECT_TRUE(names.insert(i.name).second) << i.name << " for " << path;
    }
  });
}

TEST(MenuKeysTest, TheMenuBarTriesOnlyTheKeysItMayTake) {
  const json::object none;
  auto library = json::parse(R"({"library":true,"hasSelection":true})")->as_object();
  const MenuState empty(&none), showing(&library);
  const unsigned C = kCommand, T = kControl, O = kOption, S = kShift;
  // Copy, paste, cut and select-all always go to the page; ⇧⌘V is Pretext, not paste; the See
  // items (⌥⌘1) go to the menu bar first.
  const std::tuple<const char*, unsigned, bool, bool> rows[] = {
      {"v", C, true, false},      {"x", C, true, false},     {"a", C, true, false},
      {"C", C, true, false},      {"v", S | C, false, true}, {"3", T | C, false, false},
      {"3", T | C, true, true},   {"4", T | C, false, true}, {"t", T | C, true, false},
      {"l", T | C, false, true},  {"", T, false, true},      {"a", 0, true, false},
      {"\uF700", O, true, false}, {"c", S, false, false}};
  for (const auto& [key, mask, inLibrary, handled] : rows) {
    const MenuState& state = inLibrary ? showing : empty;
    EXPECT_EQ(menuHandles(key, mask, state), handled) << key << " " << mask << " " << inLibrary;
    KeyRecord record;  // to the menu bar only while no press of it reaches the page
    EXPECT_EQ(record.pressed(key, mask, state), handled);
    EXPECT_EQ(record.lastKey(), handled ? KeyWent::kMenu : KeyWent::kPage) << key;
    record.reachedPage();
    EXPECT_EQ(record.lastKey(), KeyWent::kPage);
  }
  EXPECT_EQ(maskFromLinux(false, true, true, true), T | O | C);
  // F10 alone opens the menu bar (accessibility_e2e); with a modifier (Shift+F10: a context
  // menu) it is the page's.
  EXPECT_FALSE(opensMenuBar("F10", S) || opensMenuBar("F10", C) || opensMenuBar("f10", 0));
}

TEST(RecentDocumentsTest, OpenRecentThePageListAndTheOpenPanel) {
  const std::set<fs::path> existing{"/w/Quillstone/A.quillstone", "/w/Quillstone/B.quillstone",
                                    "/w/Quillstone Old/C.quillstone", "/w/Quillstone/Archive",
                                    "/w/Quillstone/notes.txt"};
  // A sibling not inside, one deleted since, and other programs' entries are left out.
  const std::vector<fs::path> recent{
      "/w/Quillstone/B.quillstone/",   "/w/Quillstone Old/C.quillstone",
      "/w/Quillstone/Gone.quillstone", "/w/Quillstone/Archive",
      "/w/Quillstone/notes.txt",       "/w/Quillstone/Sub/../A.quillstone"};
  const auto entries = openRecentEntries(recent, "/w/Quillstone/",
                                         [&](const fs::path& p) { return existing.contains(p); });
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(std::tie(entries[0].title, entries[0].path, entries[1].title),
            std::tuple("B", fs::path("/w/Quillstone/B.quillstone"), "A"));

  auto slots = [](std::string_view state) {
    auto parsed = json::parse(state)->as_object();
    std::string out;
    for (const auto& s : nameRecentDocs(MenuState(&parsed)))
      out += (s.shown ? "" : "~") + s.title + "|";
    return out;
  };
  EXPECT_EQ(slots(R"({"recent": [{"title":"a\nb\u0007"}, {"title":""}, 5]})"),
            "a b |Untitled|Untitled|~Untitled|~Untitled|~Untitled|~Untitled|~Untitled|~Untitled|");
  EXPECT_EQ(slots(R"({"recent": {"title": "x"}})").substr(0, 36),
            "Recent Document 1|Recent Document 2|");

  const auto choice = choosePackages({"/w/A.quillstone", "/w/Notes", "/w/C.QUILLSTONE"});
  EXPECT_EQ(choice.packages, (std::vector<fs::path>{"/w/A.quillstone"}));
  EXPECT_EQ(refusedMessage(choice.refused), "2 of the chosen folders aren't Quillstone documents.");
  EXPECT_EQ(refusedMessage({"Notes"}), "\u201cNotes\u201d isn't a Quillstone document.");

  // Show in Files selects the document, else the writing folder.
  const fs::path root = "/home/a/Writing";
  auto url = [&](const std::string& id) -> std::optional<fs::path> {
    if (id == "known" || id == "_reserved") return root / (id + ".quillstone");
    return std::nullopt;
  };
  EXPECT_EQ(revealTarget("known", url, root), root / "known.quillstone");
  for (const auto& id : {std::optional<std::string>("_reserved"), {"gone"}, {}})
    EXPECT_EQ(revealTarget(id, url, root), root);
}

}  // namespace
}  // namespace qs::menus
