#include "library/inotify_watcher.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/real_time_loop.h"
#include "support/temp_dir.h"

namespace qs::library {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::testing::TempDir;
using qs::testing::writeText;
using Paths = std::vector<std::string>;

// Events as the kernel lays them out; names (shorter than 16 bytes here) padded to 16.
std::vector<std::byte> kernelBuffer(
    std::initializer_list<std::tuple<int, std::uint32_t, std::string>> raws) {
  std::vector<std::byte> out;
  for (const auto& [wd, mask, name] : raws) {
    inotify_event header{wd, mask, 0, name.empty() ? 0u : 16u};
    const std::size_t at = out.size();
    out.resize(at + sizeof header + header.len);
    std::memcpy(out.data() + at, &header, sizeof header);
    std::memcpy(out.data() + at + sizeof header, name.data(), name.size());
  }
  return out;
}

class InotifyWatcherTest : public ::testing::Test {
 protected:
  void startWatching(const fs::path& folder) {
    ASSERT_TRUE(watcher.start(folder, [this](Paths paths, bool overflow) {
      reported.insert(reported.end(), paths.begin(), paths.end());
      if (overflow) ++overflows;
    }));
    ASSERT_TRUE(loop.runUntil([&] { return !watcher.walkingForTesting(); }));
  }
  bool seen(const fs::path& path) const {
    return std::find(reported.begin(), reported.end(), path.string()) != reported.end();
  }
  bool waitFor(std::initializer_list<fs::path> paths) {
    return loop.runUntil(
        [&] { return std::all_of(paths.begin(), paths.end(), [&](auto& p) { return seen(p); }); });
  }
  bool waitForWatches(std::size_t count) {
    return loop.runUntil([&] { return watcher.watchCountForTesting() == count; });
  }

  TempDir dir;
  qs::testing::RealTimeLoop loop;
  InotifyWatcher watcher{loop};
  Paths reported;
  int overflows = 0;
};

// Moved away, deleted and made again (as a sync tool or a restore from a backup does), or a
// mount point unmounted (which leaves an empty folder behind, not the writing folder back): what
// changed meanwhile is found by a full check once it is back, and the log says so once each way.
TEST_F(InotifyWatcherTest, AWritingFolderThatGoesAwayIsWatchedAgainWhenItIsBack) {
  const fs::path root = dir / "Writing", away = dir / "Away";
  fs::create_directories(root / "sub");
  watcher.setRootPollForTesting(20ms);
  startWatching(root);
  ::testing::internal::CaptureStderr();

  fs::rename(root, away);
  EXPECT_TRUE(waitFor({root}));
  loop.runFor(150ms);  // looked for several times meanwhile
  EXPECT_EQ(watcher.watchCountForTesting(), 0u);
  writeText(away / "sub/meanwhile", "x");
  overflows = 0;
  fs::rename(away, root);
  EXPECT_TRUE(loop.runUntil([&] { return overflows > 0; }));
  EXPECT_EQ(watcher.watchCountForTesting(), 2u);
  writeText(root / "sub/after", "y");
  EXPECT_TRUE(waitFor({root / "sub/after"}));
  EXPECT_FALSE(seen(away / "sub/meanwhile"));

  fs::remove_all(root);
  EXPECT_TRUE(waitForWatches(0));
  loop.runFor(100ms);
  overflows = 0;
  fs::create_directories(root / "restored");
  EXPECT_TRUE(loop.runUntil([&] { return overflows > 0; }));
  writeText(root / "restored/again", "z");
  EXPECT_TRUE(waitFor({root / "restored/again"}));

  const std::string said = "Quillstone: the writing folder " + root.string();
  const std::string cycle = said +
                            " went away (moved, deleted or unmounted); it is watched again " +
                            "when it is back\n" + said + " is back; it is watched again\n";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), cycle + cycle);

  const fs::path mount = dir / "Mounted";
  fs::create_directories(mount);
  if (::mount("quillstone-test", mount.c_str(), "tmpfs", 0, nullptr) != 0)
    GTEST_SKIP() << "can't mount here: " << std::strerror(errno);
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{mount};
  overflows = 0;
  startWatching(mount);
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(::umount(mount.c_str()), 0);
  EXPECT_TRUE(waitForWatches(0));
  loop.runFor(150ms);
  EXPECT_EQ(watcher.watchCountForTesting(), 0u);
  EXPECT_EQ(overflows, 0);
  ASSERT_EQ(::mount("quillstone-test", mount.c_str(), "tmpfs", 0, nullptr), 0);
  EXPECT_TRUE(loop.runUntil([&] { return overflows > 0; }));
  writeText(mount / "after", "y");
  EXPECT_TRUE(waitFor({mount / "after"}));
  ::testing::internal::GetCapturedStderr();
}

// Folders the system's limit of watches leaves unwatched are asked about at every poll, the limit
// is said once, and a later walk watches them once watches are free; no link below the writing
// folder is ever watched.
TEST_F(InotifyWatcherTest, WatchLimitAndQueueOverflowAreReportedAsOverflow) {
  TempDir outside;
  fs::create_directory_symlink(outside.path(), dir / "linked");
  watcher.setRootPollForTesting(20ms);
  startWatching(dir.path());
  ::testing::internal::CaptureStderr();
  watcher.setWatchLimitForTesting(1);
  writeText(dir / "a/x", "1");
  fs::create_directories(dir / "b");
  EXPECT_TRUE(waitFor({dir / "a", dir / "b"}));
  overflows = 0;
  EXPECT_TRUE(loop.runUntil([&] { return overflows >= 2; }));  // no event but the polls
  EXPECT_EQ(watcher.watchCountForTesting(), 1u);

  watcher.setWatchLimitForTesting(std::nullopt);
  reported.clear();
  EXPECT_TRUE(waitForWatches(3));
  EXPECT_TRUE(waitFor({dir / "a/x"}));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Quillstone: the folder watch reached the system's limit of watches "
            "(fs.inotify.max_user_watches); changes in some folders are found by a full check "
            "only\n");

  overflows = 0;
  watcher.handleBufferForTesting(kernelBuffer({{-1, IN_Q_OVERFLOW, ""}}));
  EXPECT_TRUE(loop.runUntil([&] { return overflows > 0; }));
  EXPECT_EQ(watcher.watchCountForTesting(), 3u);
}

// On the manual clock; nothing happens in the folder, so only the test posts to the loop.
TEST(InotifyWatcherBatchTest, HandedOverAfterTheLatencyEachPathOnceInFirstSeenOrder) {
  TempDir dir;
  ManualEventLoop loop;
  InotifyWatcher watcher(loop);
  std::vector<Paths> batches;
  ASSERT_TRUE(watcher.start(dir.path(), [&](Paths paths, bool overflow) {
    EXPECT_FALSE(overflow);
    batches.push_back(std::move(paths));
  }));
  const int root = *watcher.watchForTesting(dir.path().string());
  watcher.handleBufferForTesting(kernelBuffer({{root, IN_MODIFY, "b"},
                                               {root, IN_MODIFY, "a"},
                                               {root, IN_CLOSE_WRITE, "b"},
                                               {root, 0, ""}}));
  loop.advance(InotifyWatcher::kLatency - 1ms);
  EXPECT_TRUE(batches.empty());
  loop.advance(1ms);
  EXPECT_EQ(
      batches,
      (std::vector<Paths>{{(dir / "b").string(), (dir / "a").string(), dir.path().string()}}));
}

// Destroyed in its own callback, or stopped during the walk of a big tree and started on another
// folder: nothing stale is reported or left watched.
TEST(InotifyWatcherLifetimeTest, AWatcherDestroyedInItsOwnCallbackOrStoppedInItsWalkStopsCleanly) {
  TempDir dir;
  qs::testing::RealTimeLoop loop;
  auto watcher = std::make_unique<InotifyWatcher>(loop);
  int calls = 0;
  ASSERT_TRUE(watcher->start(dir.path(), [&](Paths, bool) {
    ++calls;
    watcher.reset();
  }));
  writeText(dir / "one", "1");
  EXPECT_TRUE(loop.runUntil([&] { return calls > 0; }));
  EXPECT_EQ(watcher, nullptr);
  writeText(dir / "two", "2");
  loop.runFor(3 * InotifyWatcher::kLatency);
  EXPECT_EQ(calls, 1);

  for (int i = 0; i < 500; ++i) fs::create_directories(dir / "many" / std::to_string(i));
  TempDir empty;
  InotifyWatcher restarted(loop);
  ASSERT_TRUE(restarted.start(dir.path(), [](Paths, bool) { ADD_FAILURE() << "stale"; }));
  restarted.stop();
  EXPECT_EQ(restarted.watchCountForTesting(), 0u);
  ASSERT_TRUE(restarted.start(empty.path(), [&](Paths, bool) { ++calls; }));
  loop.runFor(3 * InotifyWatcher::kLatency);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(restarted.watchCountForTesting(), 1u);
  EXPECT_FALSE(InotifyWatcher(loop).start(dir / "missing", [](Paths, bool) {}));
}

}  // namespace
}  // namespace qs::library
