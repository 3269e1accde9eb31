#include "menus/menu_bar.h"

#include <gtest/gtest.h>

#include <set>

#include "menus/app_actions.h"
#include "menus/recent_documents.h"

namespace qs::menus {
namespace {

namespace fs = std::filesystem;
using Kind = MenuItem::Kind;

struct FakeCommands final : AppCommands {
  void perform(AppCommand, const std::shared_ptr<MenuWindow>&) override { ++performed; }
  bool claudeOn() const override { return false; }
  int performed = 0;
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

  FakeCommands commands;
  MenuBuilder builder;
  MenuBar bar;
};

// Without a window every page item is off and does nothing when fired; an answer that comes after
// its window went is dropped.
TEST_F(MenuBarTest, WithoutAWindowThePageItemsDoNothing) {
  std::size_t fired = 0;
  std::function<void(const std::vector<MenuItem>&)> walk = [&](const auto& items) {
    for (const MenuItem& i : items) {
      walk(i.items);
      if (!i.action || (i.kind != Kind::kPageCommand && i.kind != Kind::kPageKey)) continue;
      EXPECT_FALSE(i.action->validate(nullptr).enabled) << i.title;
      i.action->fire(nullptr);
      ++fired;
    }
  };
  walk(bar.menus);
  EXPECT_GT(fired, 50u);
  EXPECT_EQ(commands.performed, 0);

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
  for (const auto& [depth, shown] : rows) EXPECT_EQ(checkedLevels(depth), shown) << depth;
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
