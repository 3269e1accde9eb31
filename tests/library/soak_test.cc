// The real library, folder watch and search index under everything at once, for a while: two
// windows writing and deleting their documents on threads of their own, while another program
// edits, renames, deletes and adds packages and sync tools drop conflict copies; restore points
// are kept and, half way, the library is moved. (The assistant's exchange joins in the end-to-end
// soak, which runs the whole program so and checks the search index.) What happens is drawn from
// a fixed seed (QS_SOAK_SEED) for QS_SOAK_SECONDS (30 by default; longer by hand). Afterwards the
// disk, the ledger and what the windows were handed agree, and nothing a window wrote is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/event_loop.h"
#include "library/folder_watch.h"
#include "library/inotify_watcher.h"
#include "library/library.h"
#include "library/package.h"
#include "library/versions.h"
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

// Every version of a document has the word "key<id>" for the search index.
json::object docNamed(const std::string& id, const std::string& title) {
  return qs::testing::doc(id, title, {}, title + " key" + id);
}

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
  fs::path root = lib.root();
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
      nullptr);
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

  // Another program, and sync tools, between turns of the main loop.
  std::mt19937 rng(seed);
  std::map<std::string, std::optional<std::string>> outside;  // its documents, as it left them
  std::map<std::string, fs::path> outsideAt;
  int step = 0, restorePoints = 0;
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
        qs::testing::writeText(package / "document.json",
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
      default:
        break;
    }
    if (!moved && std::chrono::steady_clock::now() - start > seconds / 2) {
      moved = true;
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

  // Everything settles: a last look hands over what the watch has not yet.
  bool looked = false;
  folderWatch.look([&](const json::array&) { looked = true; });
  ASSERT_TRUE(loop.runUntil([&] { return looked; }, 60s));
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
  auto isVersion = [](const std::string& id, const std::string& title) {
    return id.starts_with("v") && !splitVersionSuffix(title).second.empty();
  };
  for (const auto& [id, title] : handed) {
    if (outside.contains(id) || !title) continue;
    if (isVersion(id, *title)) {
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
  }
  // The other program's renames are followed. (That the search index agrees, the end-to-end
  // soak checks, on the same library under the whole program.)
  for (const auto& [id, at] : outsideAt) {
    EXPECT_TRUE(!disk.contains(id) || lib.url(id) == at) << id;
  }
}

}  // namespace
}  // namespace qs::library
