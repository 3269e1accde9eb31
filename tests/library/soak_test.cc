// The real library, folder watch, search index and Claude bridge under everything at once, for a
// while: two windows writing and deleting their documents on threads of their own, while another
// program edits, renames, deletes and adds packages, sync tools drop conflict copies and a Claude
// session answers requests (now and then with a reply that can't be used); restore points are
// kept and, half way, the library is moved. What happens is drawn from a fixed seed (QS_SOAK_SEED)
// for QS_SOAK_SECONDS (30 by default; longer by hand). Afterwards the disk, the ledger, the search
// index and what the windows were handed agree, and nothing a window wrote is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "claude/claude_bridge.h"
#include "core/event_loop.h"
#include "library/folder_watch.h"
#include "library/inotify_watcher.h"
#include "library/library.h"
#include "library/package.h"
#include "library/versions.h"
#include "platform/prefs.h"
#include "preview/search_index.h"
#include "support/library_fixture.h"
#include "support/real_time_loop.h"

namespace qs::library {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

long fromEnvironment(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtol(value, nullptr, 10) : fallback;
}

// Every version of a document has the word "key<id>", by which the index finds all of them.
json::object docNamed(const std::string& id, const std::string& title) {
  return qs::testing::doc(id, title, {}, title + " key" + id);
}

// The windows' pages, for Claude's replies: a request whose id ends in an even digit is taken,
// any other refused, answered a turn of the loop later as a page answers.
struct SoakPages : claude::ReplyTargets,
                   claude::ReplyTarget,
                   std::enable_shared_from_this<SoakPages> {
  explicit SoakPages(EventLoop& mainLoop) : loop(mainLoop) {}
  std::shared_ptr<claude::ReplyTarget> targetFor(const std::optional<std::string>&) override {
    return shared_from_this();
  }
  bool loaded() const override { return true; }
  void claudeReply(std::string id, json::array, std::string, json::object,
                   std::function<void(std::optional<bool>)> then) override {
    const bool take = (id.back() - '0') % 2 == 0;
    (take ? took : refused).insert(id);
    loop.post([then = std::move(then), take] { then(take); });
  }
  EventLoop& loop;
  std::set<std::string> took, refused;
};

// The id and title of every package in `root`, originals only.
std::map<std::string, std::string> onDisk(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".quillstone" || isConflictCopyName(name)) continue;
    if (auto record = readRecord(entry.path())) {
      out[std::string(record->at("id").as_string())] =
          std::string(record->at("doc").at("title").as_string());
    }
  }
  return out;
}

TEST(SoakTest, EverythingAtOnceLosesNothingAndEveryViewAgrees) {
  const auto seconds = std::chrono::seconds(fromEnvironment("QS_SOAK_SECONDS", 30));
  const auto seed = static_cast<unsigned>(fromEnvironment("QS_SOAK_SEED", 20261207));
  SCOPED_TRACE("seed " + std::to_string(seed));
  qs::testing::TempDir dir;
  const fs::path support = dir / "Support";
  auto index = makeSQLiteSearchIndex(support / "search-index.sqlite3");
  qs::testing::FolderTrash trash(dir / "Trash");
  Library::Services services;
  services.spotlight = index.get();
  services.trash = &trash;
  Library lib(dir / "Writing", support, services);

  // What the windows were handed by the folder watch, in order: id → title, or none if deleted.
  std::map<std::string, std::optional<std::string>> handed;
  qs::testing::RealTimeLoop loop;
  Prefs prefs(dir / "settings.json");
  auto pages = std::make_shared<SoakPages>(loop);
  std::mutex rootMutex;  // the library's place, as the Claude session sees it
  fs::path root = lib.root();
  claude::ClaudeBridge bridge([&] { return lib.root(); }, support, prefs, nullptr, *pages);
  bridge.setEnabled(true);
  auto watch = std::make_unique<ThreadSerialQueue>("soak.folderwatch");
  FolderWatch folderWatch(
      loop, *watch, [&] { return lib.externalChanges(); },
      [&](const json::array& records) {
        for (const auto& r : records) {
          handed[std::string(r.at("id").as_string())] =
              r.at("deleted").as_bool()
                  ? std::nullopt
                  : std::optional<std::string>(r.at("doc").at("title").as_string());
        }
      },
      [&](std::vector<std::string> paths) {
        if (std::ranges::any_of(paths, claude::ClaudeBridge::isInboxPath)) bridge.processInbox();
      });
  auto startWatch = [&] { folderWatch.start(lib.root(), std::make_unique<InotifyWatcher>(loop)); };
  fs::create_directories(lib.root());
  startWatch();

  // Two windows, each writing its own documents as fast as the library takes them.
  std::atomic<bool> stop{false};
  std::mutex written_mutex;
  // Guarded by written_mutex: the last title saved, or none once deleted.
  std::map<std::string, std::optional<std::string>> written;
  std::vector<std::string> failures;  // guarded by written_mutex
  auto window = [&](char name, unsigned windowSeed) {
    std::mt19937 rng(windowSeed);
    for (int rev = 1; !stop; ++rev) {
      const std::string id = std::string(1, name) + std::to_string(rng() % 6);
      const std::string title = id + "v" + std::to_string(rev);
      if (rng() % 10 == 0) {
        (void)lib.write(json::object{{"id", id}, {"rev", rev}, {"deleted", true}});
        std::lock_guard lock(written_mutex);
        written[id] = std::nullopt;
        continue;
      }
      const auto saved =
          lib.write(json::object{{"id", id}, {"rev", rev}, {"doc", docNamed(id, title)}});
      std::lock_guard lock(written_mutex);
      if (saved)
        written[id] = title;
      else
        failures.push_back(title);
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
    }
  };
  std::thread first(window, 'w', seed + 1);
  std::thread second(window, 'x', seed + 2);

  // A Claude session: it answers each request in the outbox once, mostly with a usable reply.
  // Request id → "usable", or why it is refused; and the writing folder it was answered in (a
  // request left behind by the move is answered where it is).
  std::map<std::string, std::pair<std::string, fs::path>> replies;
  std::thread session([&] {
    std::mt19937 rng(seed + 3);
    while (!stop) {
      {
        std::lock_guard lock(rootMutex);
        const fs::path exchange = root / ".quillstone/claude";
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(exchange / "outbox", ec)) {
          const std::string id = entry.path().stem().string();
          if (entry.path().extension() != ".json" || replies.contains(id)) continue;
          const auto kind = rng() % 5;
          const json::object reply{
              {"v", kind == 0 ? 2 : 1},
              {"requestId", id},
              {"bullets", kind == 1 ? json::array{} : json::array{"On " + id}}};
          const char* why = kind == 0   ? "it isn't version 1"
                            : kind == 1 ? "it has no bullets"
                                        : "usable";
          replies[id] = {why, root};
          fs::create_directories(exchange / "inbox", ec);
          qs::testing::write_text(exchange / "staged.tmp", *json::compact(reply));
          fs::rename(exchange / "staged.tmp", exchange / "inbox" / (id + ".json"), ec);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 50));
    }
  });

  // Another program, and sync tools, between turns of the main loop.
  std::mt19937 rng(seed);
  std::map<std::string, std::optional<std::string>> outside;  // its documents, as it left them
  std::map<std::string, fs::path> outsideAt;
  int step = 0, restorePoints = 0, asked = 0;
  bool moved = false;
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < seconds) {
    ++step;
    const std::string id = "o" + std::to_string(rng() % 8);
    const std::string title = id + "s" + std::to_string(step);
    const bool present = outsideAt.contains(id) && fs::exists(outsideAt[id]);
    switch (rng() % 8) {
      case 0:
      case 1: {  // edited in place, or added
        const fs::path package = present ? outsideAt[id] : root / (title + ".quillstone");
        qs::testing::write_text(package / "document.json",
                                *json::compact(json::object{{"format", "quillstone/document"},
                                                            {"doc", docNamed(id, title)}}));
        outsideAt[id] = package;
        outside[id] = title;
        break;
      }
      case 2:  // renamed
        if (present) {
          const fs::path to = root / ("renamed " + title + ".quillstone");
          fs::rename(outsideAt[id], to);
          outsideAt[id] = to;
        }
        break;
      case 3:  // deleted
        if (present) {
          fs::remove_all(outsideAt[id]);
          outsideAt.erase(id);
          outside[id] = std::nullopt;
        }
        break;
      case 4: {  // a conflict copy of a window's document appears
        std::lock_guard lock(written_mutex);
        if (written.empty()) break;
        auto it = written.begin();
        std::advance(it, rng() % written.size());
        if (const auto url = it->second ? lib.url(it->first) : std::nullopt) {
          std::error_code ec;  // the window may be replacing it right now
          fs::copy(
              *url,
              root / (it->first + " (conflicted copy " + std::to_string(step) + ").quillstone"),
              fs::copy_options::recursive, ec);
        }
        break;
      }
      case 5:
        if (rng() % 4 == 0) {
          EXPECT_TRUE(
              lib.keepRestorePoint(json::object{{"format", "quillstone/backup"}, {"step", step}}));
          ++restorePoints;
        }
        break;
      case 6: {  // a page asks Claude about one of its documents
        char request[64];
        std::snprintf(request, sizeof request, "r-%08x-0000-4000-8000-%012d", seed, ++asked);
        const auto [ok, why] = bridge.ask(json::object{
            {"requestId", request},
            {"doc", json::object{{"id", "w0"}, {"title", "w0"}}},
            {"thought", json::object{{"id", "t1"}}},
            {"thread", json::array{json::object{{"id", "m1"}, {"who", "writer"}, {"text", "?"}}}}});
        EXPECT_TRUE(ok) << why.value_or("");
        break;
      }
      default:
        break;
    }
    if (!moved && std::chrono::steady_clock::now() - start > seconds / 2) {
      moved = true;
      // The session pauses; the replies it has written are taken before the library leaves.
      std::lock_guard lock(rootMutex);
      bridge.processInbox();
      loop.runFor(20ms);
      folderWatch.stop();
      const auto result = lib.moveAll(dir / "Moved");
      EXPECT_EQ(result.refused, "");
      EXPECT_EQ(result.stayed, 0);
      root = lib.root();
      for (auto& [what, at] : outsideAt) at = root / at.filename();
      startWatch();
    }
    loop.runFor(std::chrono::milliseconds(rng() % 10));
  }
  stop = true;
  first.join();
  second.join();
  session.join();

  // Everything settles: a last look hands over what the watch has not yet, and a last pass over
  // the inbox takes the replies whose events went by during the move.
  bool looked = false;
  folderWatch.look([&](const json::array&) { looked = true; });
  ASSERT_TRUE(loop.runUntil([&] { return looked; }, 60s));
  bridge.processInbox();
  loop.runFor(100ms);
  folderWatch.stop();
  watch.reset();
  index->flush();

  std::printf(
      "soak: %d steps, %zu documents on disk, %zu handed to the windows, %d restore points\n", step,
      onDisk(lib.root()).size(), handed.size(), restorePoints);
  EXPECT_EQ(failures, std::vector<std::string>{}) << "writes refused";
  EXPECT_TRUE(moved);
  EXPECT_GT(restorePoints, 0);
  const auto disk = onDisk(lib.root());
  for (const auto& [id, title] : written) {
    EXPECT_EQ(disk.contains(id) ? std::optional(disk.at(id)) : std::nullopt, title)
        << "a window's document " << id;
  }
  for (const auto& [id, title] : outside) {
    const auto there = disk.find(id);
    EXPECT_EQ(there == disk.end() ? std::nullopt : std::optional(there->second), title)
        << "the other program's document";
    EXPECT_EQ(handed.contains(id) ? handed.at(id) : std::nullopt, title)
        << "what the windows were handed of " << id;
  }
  auto is_version = [](const std::string& id, const std::string& title) {
    return id.starts_with("v") && !splitVersionSuffix(title).second.empty();
  };
  for (const auto& [id, title] : handed) {
    if (outside.contains(id) || !title) continue;
    if (is_version(id, *title)) {
      // What a conflict copy held is kept as a document of its own, and stays.
      EXPECT_TRUE(disk.contains(id)) << "a version the windows were handed is gone: " << id;
    } else {
      EXPECT_EQ(title, written[id]) << "a window was handed a stale " << id;
    }
  }
  std::map<std::string, std::string> ledger;
  for (const auto& [id, path] : lib.ledger()) {
    if (!id.starts_with("_") && fs::exists(path)) ledger[id] = path;
  }
  EXPECT_EQ(ledger.size(), disk.size()) << "the ledger and the disk disagree";
  for (const auto& [id, title] : disk) {
    ASSERT_TRUE(lib.url(id)) << id;
    EXPECT_EQ(readRecord(*lib.url(id))->at("doc").at("title"), json::value(title));
    if (is_version(id, title)) continue;  // its words are its document's too
    const auto hits = index->search(title);
    EXPECT_TRUE(hits.size() == 1 && hits[0].id == id) << "the search index lost " << title;
  }
  // Documents deleted (by a window or the other program) are gone from the index, and renamed
  // ones are found under their new package.
  std::set<std::string> ids;
  for (const auto& [id, title] : written) ids.insert(id);
  for (const auto& [id, title] : outside) ids.insert(id);
  for (const auto& id : ids) {
    std::vector<std::string> found;
    for (const auto& hit : index->search("key" + id)) {
      // Versions of the document hold its words too, under their own ids.
      if (hit.id == id || !disk.contains(hit.id) || !is_version(hit.id, disk.at(hit.id))) {
        found.push_back(hit.id + " " + hit.path);
      }
    }
    const auto url = lib.url(id);
    EXPECT_EQ(found, disk.contains(id) && url ? std::vector{id + " " + url->string()}
                                              : std::vector<std::string>{})
        << "the search index for " << id;
    if (outsideAt.contains(id) && disk.contains(id)) {
      EXPECT_EQ(*url, outsideAt[id]) << id;
    }
  }

  // Each reply did what the bridge's rules say: a usable one reached the page, which took it
  // (reply and request gone) or refused it (set aside); any other was set aside with its reason.
  int usable = 0;
  for (const auto& [id, answer] : replies) {
    const auto& [why, at] = answer;
    SCOPED_TRACE(id + ": " + why);
    const fs::path exchange = at / ".quillstone/claude";
    const std::string ignoredLog = qs::testing::read_text(exchange / "inbox/ignored/log.txt");
    const bool setAside = fs::exists(exchange / "inbox/ignored" / (id + ".json"));
    EXPECT_FALSE(fs::exists(exchange / "inbox" / (id + ".json")));
    if (why != "usable") {
      EXPECT_TRUE(setAside && ignoredLog.find(id + ".json  " + why) != std::string::npos);
      EXPECT_FALSE(pages->took.contains(id) || pages->refused.contains(id));
      continue;
    }
    ++usable;
    EXPECT_EQ(setAside, pages->refused.contains(id));
    EXPECT_TRUE(pages->took.contains(id) || pages->refused.contains(id)) << "never reached a page";
    EXPECT_FALSE(fs::exists(exchange / "outbox" / (id + ".json")));
  }
  EXPECT_GT(usable, 0);
  EXPECT_LT(usable, static_cast<int>(replies.size())) << "no reply was refused";
}

}  // namespace
}  // namespace qs::library
