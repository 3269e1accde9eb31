#include "app/writing_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>

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

auto fields(const FolderPanel& p) {
  return std::tie(p.title, p.message, p.prompt, p.start);
}
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
  void choose(std::optional<fs::path> folder) {
    ASSERT_TRUE(pending_folder);
    std::exchange(pending_folder, nullptr)(std::move(folder));
  }
  void press(std::size_t button) {
    ASSERT_TRUE(pending_alert);
    std::exchange(pending_alert, nullptr)(button);
  }
  std::shared_ptr<RegisteredWindow> attached;
  std::vector<FolderPanel> panels;
  std::vector<Alert> alerts;
  std::function<void(std::optional<fs::path>)> pending_folder;
  std::function<void(std::size_t)> pending_alert;
};

class WritingFolderTest : public ::testing::Test {
 protected:
  WritingFolderTest() {
    fs::create_directories(dir / "Documents");
    fs::create_directories(dir / "Support");
    settings.documents = dir / "Documents";
    settings.support = dir / "Support";
    settings.data_home = dir / "data";
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
    return value ? *digest::base64_decode(std::string_view(value->as_string())) : "";
  }

  qs::testing::TempDir dir;
  Prefs prefs{dir / "settings.json"};
  WritingFolder::Settings settings;
  ScriptedDialogs dialogs;
  std::optional<std::optional<fs::path>> result;
};

TEST_F(WritingFolderTest, ProblemsWithAChoice) {
  const auto wf = folder();
  const fs::path current = dir / "Writing";
  fs::create_directories(current / "Inside");
  fs::create_directories(dir / "Writing2");
  fs::create_directories(dir / "Support" / "reserved");
  fs::create_directories(dir / "Support-notes");
  EXPECT_EQ(wf.problem(current, current), kAlreadyThere);
  EXPECT_EQ(wf.problem(dir.path() / "Writing/", current), kAlreadyThere);
  EXPECT_EQ(wf.problem(current / "Inside", current), kInside);
  EXPECT_EQ(wf.problem(dir / "Writing2", current), std::nullopt);  // a sibling, not inside
  EXPECT_EQ(wf.problem(dir.path(), current), kContains);
  EXPECT_EQ(wf.problem(dir / "Support", current), kSupport);
  EXPECT_EQ(wf.problem(dir / "Support" / "reserved", std::nullopt), kSupport);
  EXPECT_EQ(wf.problem(dir / "Support-notes", std::nullopt), std::nullopt);
  EXPECT_EQ(wf.problem(dir / "Missing", std::nullopt), kNotWritable);
  if (geteuid() != 0) {  // permissions don't hold back root
    fs::create_directories(dir / "Locked");
    chmod((dir / "Locked").c_str(), 0555);
    EXPECT_EQ(wf.problem(dir / "Locked", std::nullopt), kNotWritable);
  }
}

TEST_F(WritingFolderTest, FirstRunAsksAndRemembersTheChoice) {
  auto wf = folder();
  auto& got = prepare(wf);
  ASSERT_EQ(dialogs.panels.size(), 1u);
  EXPECT_EQ(fields(dialogs.panels[0]),
            std::tuple(kAskTitle, kAskMessage, kUseThisFolder, dir / "Documents"));

  // The support folder is refused with its reason, and the panel comes again.
  dialogs.choose(dir / "Support");
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(std::tie(dialogs.alerts[0].message, dialogs.alerts[0].detail),
            std::tuple(kChooseAnother, kSupport));
  dialogs.press(0);
  ASSERT_EQ(dialogs.panels.size(), 2u);
  EXPECT_FALSE(got);

  // Accepting the suggested place as it stands makes and uses "Quillstone" inside it.
  dialogs.choose(dir.path() / "Documents/");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, dir / "Documents" / "Quillstone");
  EXPECT_TRUE(fs::is_directory(dir / "Documents" / "Quillstone"));

  // The next run finds it without asking, also when it was renamed where it stands (the stale
  // bookmark is made afresh).
  auto again = folder();
  EXPECT_EQ(*prepare(again), dir / "Documents" / "Quillstone");
  fs::rename(dir / "Documents" / "Quillstone", dir / "Documents" / "Writing");
  EXPECT_EQ(*prepare(again), dir / "Documents" / "Writing");
  EXPECT_NE(stored().find("Documents/Writing\""), std::string::npos) << stored();
  EXPECT_EQ(dialogs.panels.size(), 2u);

  // QUILLSTONE_ROOT: used as it is, nothing asked, read or stored.
  const std::string before = stored();
  settings.root = dir / "Elsewhere";
  auto under_root = folder();
  EXPECT_EQ(*prepare(under_root), dir / "Elsewhere");
  under_root.use(dir / "Documents");
  EXPECT_EQ(stored(), before);
  EXPECT_EQ(dialogs.panels.size(), 2u);
}

TEST_F(WritingFolderTest, ALostFolderIsNamedAndCancellingOffersQuit) {
  // Each of these counts as lost; the user is asked, naming the folder.
  const fs::path trashed = dir / "data" / "Trash" / "files" / "Trashed";
  fs::create_directories(trashed);
  fs::create_directories(dir / "Gone");
  fs::create_directories(dir / "Now a file");
  std::vector<std::pair<fs::path, std::string>> cases = {
      {dir / "Gone", "Gone"}, {dir / "Now a file", "Now a file"}, {trashed, "Trashed"}};
  if (geteuid() != 0) {  // permissions don't hold back root
    fs::create_directories(dir / "Locked");
    chmod((dir / "Locked").c_str(), 0555);
    cases.emplace_back(dir / "Locked", "Locked");
  }
  std::vector<std::string> bookmarks;
  for (const auto& [path, name] : cases) bookmarks.push_back(*Bookmark::make(path));
  fs::remove(dir / "Gone");
  fs::remove(dir / "Now a file");
  qs::testing::write_text(dir / "Now a file", "x");

  for (std::size_t i = 0; i < cases.size(); ++i) {
    (void)prefs.set("writingFolder", json::value(digest::base64_encode(bookmarks[i])));
    auto wf = folder();
    auto& got = prepare(wf);
    ASSERT_EQ(dialogs.panels.size(), 1 + 2 * i);
    EXPECT_EQ(dialogs.panels.back().message,
              "Quillstone can't find your writing folder, \u201c" + cases[i].second +
                  "\u201d. Choose where it is now, or a new folder.");
    dialogs.choose(std::nullopt);
    ASSERT_EQ(dialogs.alerts.size(), 1 + 2 * i);
    EXPECT_EQ(
        fields(dialogs.alerts.back()),  // closing it means Quit
        std::tuple(kNeedsFolder, kNeedsFolderDetail,
                   std::vector<std::string>{std::string(kChooseFolder), std::string(kQuit)}, 1u));
    dialogs.press(0);
    EXPECT_EQ(dialogs.panels.back().message, dialogs.panels[2 * i].message);
    dialogs.choose(std::nullopt);
    dialogs.press(1);
    ASSERT_TRUE(got);
    EXPECT_FALSE(*got);
  }

  // Bytes that can't be read name no folder.
  (void)prefs.set("writingFolder", json::value("not a bookmark"));
  auto wf = folder();
  prepare(wf);
  EXPECT_EQ(dialogs.panels.back().message, lostMessage(kLostName));
  EXPECT_FALSE(Bookmark::resolve(R"({"path":"relative","name":"r","device":1,"inode":1})"));
  EXPECT_FALSE(Bookmark::storedName("{}"));
}

TEST_F(WritingFolderTest, BookmarksFollowTheFolderNotWhateverStandsAtItsPath) {
  fs::create_directories(dir / "W");
  struct stat st {};
  ASSERT_EQ(stat((dir / "W").c_str(), &st), 0);
  auto bytes = [&](std::uint64_t device, std::uint64_t inode) {
    return *json::compact(json::object{
        {"path", (dir / "W").string()}, {"name", "W"}, {"device", device}, {"inode", inode}});
  };
  const auto same = Bookmark::resolve(*Bookmark::make(dir / "W"));
  ASSERT_TRUE(same);
  EXPECT_FALSE(same->stale);
  EXPECT_EQ(Bookmark::storedName(*Bookmark::make(dir / "W")), "W");
  // A remounted volume keeps the inode; a folder restored in place keeps the device.
  EXPECT_TRUE(Bookmark::resolve(bytes(st.st_dev + 1, st.st_ino))->stale);
  EXPECT_TRUE(Bookmark::resolve(bytes(st.st_dev, st.st_ino + 1))->stale);
  // Neither: another folder (an empty mount point where a volume was) is not this one.
  EXPECT_FALSE(Bookmark::resolve(bytes(st.st_dev + 1, st.st_ino + 1)));

  // A separate key keeps a second copy's folder apart.
  settings.key = "writingFolder-test";
  folder().use(dir / "W");
  EXPECT_FALSE(prefs.get("writingFolder"));
  EXPECT_EQ(folder().stored(), dir / "W");
}

TEST_F(WritingFolderTest, TrashesOfTheDesktopAndOfVolumes) {
  for (const char* trashed :
       {"/home/u/.local/share/Trash/files/Writing", "/media/u/Stick/.Trash-1000/files/Writing",
        "/media/u/Stick/.Trash/1000/files/Writing", "/Users/u/.Trash/Writing"})
    EXPECT_TRUE(isInTrash(trashed, "/home/u/.local/share")) << trashed;
  for (const char* kept :
       {"/home/u/.local/share/Trash-notes/Writing", "/home/u/Documents/Trash/Writing",
        "/home/u/.Trash-notes/Writing", "/home/u/Documents/Quillstone"})
    EXPECT_FALSE(isInTrash(kept, "/home/u/.local/share")) << kept;
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
  fs::create_directories(dir / "Old" / "Inner");
  fs::create_directories(dir / "New");
  FolderMove move(wf, dialogs, host);

  // The dialogs attach to the current document window, whichever window is active.
  host.document_window = std::make_shared<DocumentWindow>();
  move.run();
  EXPECT_EQ(dialogs.attached, host.document_window);
  ASSERT_EQ(dialogs.panels.size(), 1u);
  EXPECT_EQ(std::tie(dialogs.panels[0].message, dialogs.panels[0].prompt, dialogs.panels[0].start),
            std::tuple(kMoveMessage, kMoveHere, dir / "Old"));
  move.run();  // one at a time
  EXPECT_EQ(dialogs.panels.size(), 1u);
  dialogs.choose(std::nullopt);
  EXPECT_FALSE(move.running());

  move.run();
  dialogs.choose(dir / "Old" / "Inner");
  EXPECT_EQ(dialogs.alerts.back().detail, kInside);
  dialogs.press(0);
  EXPECT_TRUE(host.events.empty());
  EXPECT_FALSE(move.running());

  move.run();
  dialogs.choose(dir / "New");
  EXPECT_EQ(host.events, std::vector<std::string>{"settle"});
  EXPECT_TRUE(move.moving());
  bool quit = false;
  move.whenSettled([&] { quit = true; });  // a quit waits for the move
  host.settled();
  host.finish({2, 1, {}, {}});
  EXPECT_TRUE(quit);
  EXPECT_EQ(host.events, (std::vector<std::string>{"settle", "move New", "moved New"}));
  EXPECT_EQ(wf.stored(), dir / "New");
  EXPECT_EQ(fields(dialogs.alerts.back()),
            std::tuple("2 documents moved",
                       "Your writing is now in Place \u2192 New. 1 stayed in the old folder, "
                       "because the new one already has it.",
                       std::vector<std::string>{"OK", "Show in Files"}, 0u));
  EXPECT_TRUE(move.running());
  dialogs.press(1);
  EXPECT_EQ(host.events.back(), "show New");
  EXPECT_FALSE(move.running());

  // The library may still refuse the place (it changed since it was chosen): nothing is
  // remembered, the user is told why, and a quit waiting for the move goes ahead.
  host.events.clear();
  fs::create_directories(dir / "Other");
  move.run();
  dialogs.choose(dir / "Other");
  host.settled();
  bool quit_after_refusal = false;
  move.whenSettled([&] { quit_after_refusal = true; });
  host.finish({0, 0, "That isn't a folder. Choose a folder.", {}});
  EXPECT_TRUE(quit_after_refusal);
  EXPECT_EQ(std::tie(dialogs.alerts.back().message, dialogs.alerts.back().detail),
            std::tuple(kChooseAnother, "That isn't a folder. Choose a folder."));
  EXPECT_EQ(wf.stored(), dir / "New");
  EXPECT_EQ(host.events, (std::vector<std::string>{"settle", "move Other"}));
  dialogs.press(0);
  EXPECT_FALSE(move.running());

  // A move that stopped partway is told so, with why and where the documents are; remembered
  // and followed is the folder the library works in afterwards (here its journal undid it).
  // Without a document window the dialogs stand on their own.
  host.events.clear();
  host.current = dir / "New";
  host.document_window = nullptr;
  move.run();
  EXPECT_EQ(dialogs.attached, nullptr);
  dialogs.choose(dir / "Other");
  host.settled();
  host.current = dir / "New";  // where the library is after the move
  host.finish({0, 3, {}, "no space left on device"});
  EXPECT_EQ(wf.stored(), dir / "New");
  EXPECT_EQ(host.events, (std::vector<std::string>{"settle", "move Other", "moved New"}));
  EXPECT_EQ(std::tie(dialogs.alerts.back().message, dialogs.alerts.back().detail),
            std::tuple(kMoveStopped,
                       "The move stopped: no space left on device. 0 documents moved, 3 stayed in "
                       "the old folder. Your writing is now in Place \u2192 New."));
  dialogs.press(0);
  EXPECT_FALSE(move.running());
}

// The counts' other forms (the move above says "2 documents", "1 stayed ... has it").
TEST(WritingFolderWords, MoveResults) {
  EXPECT_EQ(movedMessage(1), "1 document moved");
  EXPECT_EQ(movedDetail("A \u2192 B", 0), "Your writing is now in A \u2192 B.");
  EXPECT_TRUE(movedDetail("A \u2192 B", 2)
                  .ends_with("2 stayed in the old folder, because the new one "
                             "already has them."));
  EXPECT_EQ(moveStoppedDetail("a fault", 1, 0, "A \u2192 B"),
            "The move stopped: a fault. 1 document moved. Your writing is now in A \u2192 B.");
}

}  // namespace
}  // namespace qs::app
