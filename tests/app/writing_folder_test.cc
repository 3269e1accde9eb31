#include "app/writing_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/window_registry.h"
#include "core/digest.h"
#include "core/json.h"
#include "platform/bookmark.h"
#include "platform/prefs.h"
#include "support/temp_dir.h"

namespace qs::app {
namespace {

namespace fs = std::filesystem;
using namespace folder_words;

auto fields(const Alert& a) {
  return std::tie(a.message, a.detail, a.buttons, a.dismissed);
}

// Dialogs answered by the test, one request at a time, in the order they were shown.
class ScriptedDialogs : public FolderDialogs {
 public:
  void attachTo(std::weak_ptr<RegisteredWindow> window) override { attached = window.lock(); }
  void chooseFolder(const FolderPanel& panel,
                    std::function<void(std::optional<fs::path>)> done) override {
    panels.push_back(panel);
    pending_folder = std::move(done);
  }
  void alert(const Alert& alert, std::function<void(std::size_t)> done) override {
    alerts.push_back(alert);
    pending_alert = std::move(done);
  }
  // Calling an answer that isn't awaited throws, which fails the test.
  void choose(std::optional<fs::path> folder) { std::exchange(pending_folder, {})(folder); }
  void press(std::size_t button) { std::exchange(pending_alert, {})(button); }
  auto said() const { return std::tie(alerts.back().message, alerts.back().detail); }
  std::shared_ptr<RegisteredWindow> attached;
  std::vector<FolderPanel> panels;
  std::vector<Alert> alerts;
  std::function<void(std::optional<fs::path>)> pending_folder;
  std::function<void(std::size_t)> pending_alert;
};

class WritingFolderTest : public ::testing::Test {
 protected:
  WritingFolderTest() {
    for (const char* name : {"Documents", "Support"}) fs::create_directories(dir / name);
  }
  WritingFolder folder() { return WritingFolder(prefs, settings); }
  // Runs prepare, giving what it yields (none until the user has answered).
  std::optional<std::optional<fs::path>>& prepare(WritingFolder& wf) {
    result.reset();
    wf.prepare(dialogs, [this](std::optional<fs::path> root) { result = root; });
    return result;
  }
  std::string stored(const std::string& key = "writingFolder") {
    auto value = prefs.get(key);
    return value ? *digest::base64Decode(std::string_view(value->as_string())) : "";
  }

  qs::testing::TempDir dir;
  Prefs prefs{dir / "settings.json"};
  WritingFolder::Settings settings{std::nullopt, "writingFolder", dir / "Documents",
                                   dir / "Support", dir / "data"};
  ScriptedDialogs dialogs;
  std::optional<std::optional<fs::path>> result;
};

// The first start asking and remembering, a move that goes well and a refused one are seen end
// to end (folder_menu_e2e, accessibility_e2e).
TEST_F(WritingFolderTest, FirstRunRefusesTheSupportFolderAndFollowsARename) {
  auto wf = folder();
  auto& got = prepare(wf);
  // The support folder, and one that can't be written, are refused with their reason, and the
  // panel comes again.
  for (const auto& [chosen, why] :
       {std::pair{dir / "Support", kSupport}, {dir / "Gone", kNotWritable}}) {
    dialogs.choose(chosen);
    EXPECT_EQ(dialogs.said(), std::tuple(kChooseAnother, why));
    dialogs.press(0);
  }
  ASSERT_EQ(dialogs.panels.size(), 3u);
  dialogs.choose(dir.path() / "Documents/");
  EXPECT_EQ(*got, dir / "Documents" / "Quillstone");

  // Renamed where it stands: found, and the stale bookmark made afresh.
  fs::rename(dir / "Documents" / "Quillstone", dir / "Documents" / "Writing");
  auto again = folder();
  EXPECT_EQ(*prepare(again), dir / "Documents" / "Writing");
  EXPECT_NE(stored().find("Documents/Writing\""), std::string::npos) << stored();
}

// Each refusal with its words; a sibling whose name starts alike is not inside, nor is a folder
// whose name starts as the support folder's.
TEST_F(WritingFolderTest, ProblemsWithAChoice) {
  const auto wf = folder();
  const fs::path current = dir / "Writing";
  for (const char* name : {"Writing/Inside", "Writing2", "Support-notes"})
    fs::create_directories(dir / name);
  const std::pair<fs::path, std::optional<std::string_view>> choices[] = {
      {dir.path() / "Writing/", kAlreadyThere}, {current / "Inside", kInside},
      {dir / "Writing2", std::nullopt},         {dir.path(), kContains},
      {dir / "Support/reserved", kSupport},     {dir / "Support-notes", std::nullopt},
      {dir / "Missing", kNotWritable}};
  for (const auto& [chosen, problem] : choices)
    EXPECT_EQ(wf.problem(chosen, current), problem) << chosen;
}

TEST_F(WritingFolderTest, ALostFolderIsNamedAndCancellingOffersQuit) {
  // Each of these counts as lost; the user is asked, naming the folder.
  const fs::path trashed = dir / "data" / "Trash" / "files" / "Trashed";
  fs::create_directories(trashed);
  fs::create_directories(dir / "Gone");
  std::vector<std::pair<std::string, std::string>> cases = {
      {*Bookmark::make(dir / "Gone"), "Gone"},
      {*Bookmark::make(trashed), "Trashed"},
      {"not a bookmark", "your writing folder"}};  // bytes that can't be read name no folder
  fs::remove(dir / "Gone");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    (void)prefs.set("writingFolder", json::value(digest::base64Encode(cases[i].first)));
    auto wf = folder();
    auto& got = prepare(wf);
    EXPECT_EQ(dialogs.panels.back().message,
              "Quillstone can't find your writing folder, \u201c" + cases[i].second +
                  "\u201d. Choose where it is now, or a new folder.");
    dialogs.choose(std::nullopt);
    EXPECT_EQ(
        fields(dialogs.alerts.back()),  // closing it means Quit
        std::tuple(kNeedsFolder, kNeedsFolderDetail,
                   std::vector<std::string>{std::string(kChooseFolder), std::string(kQuit)}, 1u));
    dialogs.press(0);
    EXPECT_EQ(dialogs.panels.size(), 2 * i + 2);
    dialogs.choose(std::nullopt);
    dialogs.press(1);
    ASSERT_TRUE(got);
    EXPECT_FALSE(*got);
  }
  EXPECT_FALSE(Bookmark::resolve(R"({"path":"relative","name":"r","device":1,"inode":1})"));
  EXPECT_FALSE(Bookmark::storedName("{}"));

  // A remounted volume keeps the inode, a folder restored in place the device; another folder
  // where it was (an empty mount point where a volume was) is not the writing folder.
  struct stat st {};
  ASSERT_EQ(stat(trashed.c_str(), &st), 0);
  for (const auto& [device, inode, stale] :
       std::vector<std::tuple<std::uint64_t, std::uint64_t, std::optional<bool>>>{
           {st.st_dev, st.st_ino, false},
           {st.st_dev + 1, st.st_ino, true},
           {st.st_dev, st.st_ino + 1, true},
           {st.st_dev + 1, st.st_ino + 1, std::nullopt}}) {
    const auto found = Bookmark::resolve(*json::compact(json::object{
        {"path", trashed.string()}, {"name", "T"}, {"device", device}, {"inode", inode}}));
    EXPECT_EQ(found ? std::optional(found->stale) : std::nullopt, stale) << device << " " << inode;
  }
}

class DocumentWindow : public RegisteredWindow {
 public:
  std::optional<std::string> docID() const override { return std::nullopt; }
  bool loaded() const override { return true; }
  bool hasWindow() const override { return true; }
  std::string frameText() const override { return {}; }
  void settle(std::function<void()> done) override { done(); }
  void enqueueExternal(json::array) override {}
};

class FakeHost : public FolderMoveHost {
 public:
  fs::path root() override { return current; }
  std::shared_ptr<RegisteredWindow> currentDocumentWindow() override { return document_window; }
  void settleWindows(std::function<void()> done) override {
    events.push_back("settle");
    settled = std::move(done);
  }
  void moveLibrary(const fs::path& to,
                   std::function<void(library::Library::MoveResult)> done) override {
    events.push_back("move " + to.filename().string());
    current = to;
    finish = std::move(done);
  }
  void moved(const fs::path& to) override { events.push_back("moved " + to.filename().string()); }
  std::string spokenName(const fs::path& folder) override {
    return "Place \u2192 " + folder.filename().string();
  }
  void showInFiles(const fs::path& folder) override {
    events.push_back("show " + folder.filename().string());
  }
  fs::path current;
  std::shared_ptr<RegisteredWindow> document_window;
  std::vector<std::string> events;
  std::function<void()> settled;
  std::function<void(library::Library::MoveResult)> finish;
};

TEST_F(WritingFolderTest, MovingAsksChecksSettlesMovesAndTells) {
  auto wf = folder();
  FakeHost host;
  host.current = dir / "Old";
  fs::create_directories(dir / "Old");
  FolderMove move(wf, dialogs, host);

  // The dialogs attach to the current document window, whichever window is active.
  host.document_window = std::make_shared<DocumentWindow>();
  move.run();
  EXPECT_EQ(dialogs.attached, host.document_window);
  EXPECT_EQ(std::tie(dialogs.panels.at(0).message, dialogs.panels[0].start),
            std::tuple(kMoveMessage, dir / "Old"));
  move.run();  // one at a time
  EXPECT_EQ(dialogs.panels.size(), 1u);
  dialogs.choose(std::nullopt);
  EXPECT_TRUE(host.events.empty() && !move.running());

  // The library may still refuse the place (it changed since it was chosen): nothing is
  // remembered, the user is told why, and a quit waiting for the move goes ahead.
  fs::create_directories(dir / "Other");
  move.run();
  dialogs.choose(dir / "Other");
  EXPECT_TRUE(move.moving());
  host.settled();
  bool quit = false;
  move.whenSettled([&] { quit = true; });
  host.finish({0, 0, "That isn't a folder. Choose a folder.", {}});
  EXPECT_TRUE(quit);
  EXPECT_EQ(dialogs.said(), std::tuple(kChooseAnother, "That isn't a folder. Choose a folder."));
  EXPECT_FALSE(wf.stored());
  EXPECT_EQ(host.events, (std::vector<std::string>{"settle", "move Other"}));
  dialogs.press(0);

  // A move that stopped partway is told so, with why and where the documents are; remembered
  // and followed is the folder the library works in afterwards (here its journal undid it).
  // Without a document window the dialogs stand on their own.
  host.events.clear();
  host.current = dir / "Old";
  host.document_window = nullptr;
  move.run();
  EXPECT_EQ(dialogs.attached, nullptr);
  dialogs.choose(dir / "Other");
  host.settled();
  host.current = dir / "Old";  // where the library is after the move
  host.finish({1, 2, {}, "no space left on device"});
  EXPECT_EQ(wf.stored(), dir / "Old");
  EXPECT_EQ(host.events, (std::vector<std::string>{"settle", "move Other", "moved Old"}));
  EXPECT_EQ(fields(dialogs.alerts.back()),
            std::tuple(kMoveStopped,
                       "The move stopped: no space left on device. 1 document moved, 2 stayed in "
                       "the old folder. Your writing is now in Place \u2192 Old.",
                       std::vector<std::string>{"OK", "Show in Files"}, 0u));
  dialogs.press(1);
  EXPECT_EQ(host.events.back(), "show Old");
  EXPECT_FALSE(move.running());
  EXPECT_TRUE(
      movedDetail("A", 2).ends_with("2 stayed in the old folder, because the new one "
                                    "already has them."));
}

}  // namespace
}  // namespace qs::app
