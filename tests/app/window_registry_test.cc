#include "app/window_registry.h"

#include <gtest/gtest.h>

#include "platform/prefs.h"
#include "support/temp_dir.h"

namespace qs::app {
namespace {

class FakeWindow : public RegisteredWindow {
 public:
  FakeWindow(std::optional<std::string> doc, bool loaded) : doc_(std::move(doc)), loaded_(loaded) {}
  std::optional<std::string> docID() const override { return doc_; }
  bool loaded() const override { return loaded_; }
  bool hasWindow() const override { return true; }
  std::string frameText() const override { return "{{0, 0}, {900, 700}}"; }
  void settle(std::function<void()> done) override { pending.push_back(std::move(done)); }
  void enqueueExternal(json::array records) override { received.push_back(std::move(records)); }

  std::vector<std::function<void()>> pending;
  std::vector<json::array> received;

 private:
  std::optional<std::string> doc_;
  bool loaded_;
};

TEST(WindowRegistryTest, SavedListsRoundTripAndDropUnknownDocuments) {
  qs::testing::TempDir dir;
  Prefs prefs(dir / "settings.json");
  WindowRegistry registry(&prefs);
  EXPECT_FALSE(registry.savedWindows([](const std::string&) { return true; }));
  registry.add(std::make_shared<FakeWindow>("known", true));
  registry.add(std::make_shared<FakeWindow>("gone", true));
  registry.add(std::make_shared<FakeWindow>("_reserved", true));
  registry.add(std::make_shared<FakeWindow>(std::nullopt, true));
  registry.saveOpenWindows();
  auto saved = registry.savedWindows([](const std::string& id) { return id == "known"; });
  ASSERT_TRUE(saved);
  std::vector<std::optional<std::string>> docs;
  for (const auto& window : *saved) docs.push_back(window.docID);
  EXPECT_EQ(docs, (std::vector<std::optional<std::string>>{"known", {}, "_reserved", {}}));
  EXPECT_EQ((*saved)[0].size->width, 900);

  (void)prefs.set("openWindows", json::parse(R"([{"doc":5,"frame":"junk"},{}])")->as_array());
  saved = registry.savedWindows([](const std::string&) { return true; });
  ASSERT_TRUE(saved);  // malformed entries still open a window, without document or size
  EXPECT_EQ(saved->size(), 2u);
  EXPECT_FALSE((*saved)[0].size);
  (void)prefs.set("openWindows", json::parse(R"([1])")->as_array());
  EXPECT_FALSE(registry.savedWindows([](const std::string&) { return true; }));
}

TEST(WindowRegistryTest, FramesAndFileKinds) {
  EXPECT_EQ(parseFrame("{{10, 20}, {1280, 820}}")->height, 820);
  EXPECT_EQ(parseFrame("{{-5.5,0},{300.5,200}}")->width, 300);
  EXPECT_FALSE(parseFrame("{{0, 0}, {0, 10}}"));
  EXPECT_FALSE(parseFrame("1280x820"));
  EXPECT_EQ(frameText({1280, 820}), "{{0, 0}, {1280, 820}}");
  EXPECT_EQ(openKind("/a/Doc.quillstone"), OpenKind::kPackage);
  EXPECT_EQ(openKind("/a/Doc.QUILLSTONE"), OpenKind::kIgnored);
  EXPECT_EQ(openKind("/a/Notes.MD"), OpenKind::kImportable);
  EXPECT_EQ(openKind("/a/backup.JSON"), OpenKind::kMaybeBackup);
  EXPECT_EQ(openKind("/a/photo.png"), OpenKind::kIgnored);
}

TEST(WindowRegistryTest, RecordsGoToEveryOtherWindowAndQuitSettlesLoadedOnes) {
  qs::testing::TempDir dir;
  Prefs prefs(dir / "settings.json");
  WindowRegistry registry(&prefs);
  auto a = std::make_shared<FakeWindow>("a", true);
  auto b = std::make_shared<FakeWindow>("b", false);
  auto c = std::make_shared<FakeWindow>("c", true);
  for (const auto& w : {a, b, c}) registry.add(w);
  registry.wrote(json::array{json::object{{"id", "a"}}}, a.get());
  EXPECT_TRUE(a->received.empty());
  EXPECT_EQ(b->received.size(), 1u);
  EXPECT_EQ(c->received.size(), 1u);
  EXPECT_EQ(registry.showing("c"), c);

  bool done = false;
  registry.terminate([&] { done = true; });
  EXPECT_TRUE(registry.quitting());
  EXPECT_EQ(a->pending.size(), 1u);
  EXPECT_TRUE(b->pending.empty());  // still loading: doesn't hold up the quit
  a->pending[0]();
  EXPECT_FALSE(done);
  registry.closed(a.get());  // closing during a quit leaves the saved list alone
  c->pending[0]();
  EXPECT_TRUE(done);
  EXPECT_EQ(prefs.get("openWindows")->as_array().size(), 3u);
}

}  // namespace
}  // namespace qs::app
