// The folder watch at the system's limit of inotify watches: run once with the limit simulated at
// the watcher, once in a user namespace whose limit is lowered (tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "library/folder_watch.h"
#include "library/inotify_watcher.h"
#include "library/library.h"
#include "support/library_fixture.h"
#include "support/real_time_loop.h"
#include "support/temp_dir.h"

namespace qs::library {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The limit of watches this process's user namespace allows, when a test run lowered it.
std::optional<long> loweredLimit() {
  std::ifstream in("/proc/sys/user/max_inotify_watches");
  long limit = 0;
  if (in >> limit && limit < 100) return limit;
  return std::nullopt;
}

std::size_t foldersIn(const fs::path& root) {
  std::size_t n = 1;
  for (const auto& entry : fs::recursive_directory_iterator(root)) n += entry.is_directory();
  return n;
}

// Edits no watch reaches arrive through the periodic full check; the limit is said once; once
// watches are free again, every folder is watched.
TEST(WatchLimitTest, UnwatchedPackagesAreCheckedPeriodicallyAndTheLimitIsSaidOnce) {
  qs::testing::TempDir dir;
  const fs::path root = dir / "Writing";
  Library lib(root, dir / "Support", {});
  constexpr int kDocuments = 8;
  std::vector<fs::path> packages;
  for (int i = 0; i < kDocuments; ++i) {
    const std::string id = "p" + std::to_string(i);
    const auto package = lib.write(qs::testing::record(qs::testing::doc(id, id)));
    ASSERT_TRUE(package);
    packages.push_back(*package);
  }

  qs::testing::RealTimeLoop loop;
  InlineSerialQueue work;
  std::map<std::string, std::string> shown;  // id → title, as a window would hold them
  auto events = std::make_unique<InotifyWatcher>(loop);
  InotifyWatcher& watcher = *events;
  watcher.setRootPollForTesting(100ms);
  const auto lowered = loweredLimit();
  if (!lowered) watcher.setWatchLimitForTesting(4);
  ::testing::internal::CaptureStderr();
  FolderWatch watch(
      loop, work, [&] { return lib.externalChanges(); },
      [&](const json::array& records) {
        for (const auto& r : records) {
          const std::string id(r.at("id").as_string());
          if (r.at("deleted").as_bool()) shown.erase(id);
          if (!r.at("deleted").as_bool()) shown[id] = r.at("doc").at("title").as_string();
        }
      },
      [](std::vector<std::string>) {});
  watch.start(root, std::move(events));
  ASSERT_LE(watcher.watchCountForTesting(), 4u);
  ASSERT_GT(foldersIn(root), 4u);

  // Every document edited in place by another program, most of them in unwatched packages.
  std::map<std::string, std::string> expected;
  for (int i = 0; i < kDocuments; ++i) {
    const std::string id = "p" + std::to_string(i);
    qs::testing::putDocument(packages[i], id, "edited " + id);
    expected[id] = "edited " + id;
  }
  EXPECT_TRUE(loop.runUntil([&] { return shown == expected; }, 20s));

  // Watches freed (the limit lifted, or packages deleted): the next walk watches every folder.
  if (lowered) {
    for (int i = 1; i < kDocuments; ++i) {
      fs::remove_all(packages[i]);
      expected.erase("p" + std::to_string(i));
    }
  } else {
    watcher.setWatchLimitForTesting(std::nullopt);
  }
  EXPECT_TRUE(loop.runUntil(
      [&] { return shown == expected && watcher.watchCountForTesting() == foldersIn(root); },
      InotifyWatcher::kLimitRetry * 100ms + 10s))
      << watcher.watchCountForTesting() << " of " << foldersIn(root) << " folders watched; "
      << shown.size() << " documents shown";
  qs::testing::putDocument(packages[0], "p0", "again");
  expected["p0"] = "again";
  EXPECT_TRUE(loop.runUntil([&] { return shown == expected; }, 20s));
  watch.stop();

  const std::string log = ::testing::internal::GetCapturedStderr();
  const std::string line =
      "Quillstone: the folder watch reached the system's limit of watches "
      "(fs.inotify.max_user_watches); changes in some folders are found by a full check only\n";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find("limit of watches"), log.rfind("limit of watches")) << "said once: " << log;
  EXPECT_EQ(shown, expected) << "nothing lost";
}

}  // namespace
}  // namespace qs::library
