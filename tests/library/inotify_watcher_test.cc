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
  InotifyWatcher::Callback record() {
    return [this](Paths paths, bool overflow) {
      for (auto& path : paths) reported.push_back(std::move(path));
      if (overflow) ++overflows;
    };
  }
  void startWatching(const fs::path& folder) {
    ASSERT_TRUE(watcher.start(folder, record()));
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
  // What is written behind `behind` after `marker` was reported alone shows it isn't watched.
  void expectOnlyMarker(const fs::path& behind, const fs::path& marker) {
    reported.clear();
    writeText(behind, "x");
    writeText(marker, "m");
    EXPECT_TRUE(waitFor({marker}));
    EXPECT_EQ(reported, Paths{marker.string()});
  }

  TempDir dir;
  qs::testing::RealTimeLoop loop;
  InotifyWatcher watcher{loop};
  Paths reported;
  int overflows = 0;
};

// Folders made, moved in, renamed, moved out and removed: each change is reported, with both
// paths of a rename, and the watches follow, also what was written before a folder's watch.
TEST_F(InotifyWatcherTest, ChangesAreReportedAndWatchesFollowTheTree) {
  TempDir elsewhere;
  writeText(dir / "old.txt", "x");
  startWatching(dir.path());
  fs::create_directories(dir / "a/b/c");
  writeText(dir / "a/b/c/one", "1");
  EXPECT_TRUE(waitFor({dir / "a", dir / "a/b", dir / "a/b/c", dir / "a/b/c/one"}));
  // A tree moved in was all written before any watch of ours: only its listing tells.
  writeText(elsewhere / "t/u/two", "2");
  fs::rename(elsewhere / "t", dir / "t");
  fs::rename(dir / "old.txt", dir / "new.txt");
  EXPECT_TRUE(waitFor({dir / "t", dir / "t/u", dir / "t/u/two", dir / "old.txt", dir / "new.txt"}));
  EXPECT_EQ(watcher.watchCountForTesting(), 6u);

  // Renamed within the tree: later changes come under the new name only.
  fs::rename(dir / "a", dir / "renamed");
  writeText(dir / "renamed/b/c/three", "3");
  writeText(dir / "t/u/four", "4");
  EXPECT_TRUE(waitFor({dir / "a", dir / "renamed", dir / "renamed/b/c/three", dir / "t/u/four"}));
  EXPECT_FALSE(seen(dir / "a/b/c/three"));
  // Out of the tree: its changes are no longer ours. The marker, written after, arrives after.
  reported.clear();
  fs::rename(dir / "renamed", elsewhere / "renamed");
  EXPECT_TRUE(waitFor({dir / "renamed"}));
  EXPECT_TRUE(waitForWatches(3));
  expectOnlyMarker(elsewhere / "renamed/later", dir / "marker");
  // Removed: its watches go; made again, it is watched again.
  fs::remove_all(dir / "t");
  EXPECT_TRUE(waitForWatches(1));
  reported.clear();
  writeText(dir / "t/again", "z");
  EXPECT_TRUE(waitFor({dir / "t", dir / "t/again"}));
  EXPECT_EQ(watcher.watchCountForTesting(), 2u);
  EXPECT_EQ(overflows, 0);
}

TEST_F(InotifyWatcherTest, ATreeThereAtStartIsWalkedAfterStartReturnsWithoutLosingAChange) {
  fs::create_directories(dir / "a/b/c");
  fs::create_directories(dir / "d");
  writeText(dir / "a/b/c/old", "0");
  ASSERT_TRUE(watcher.start(dir.path(), record()));
  // Written as the walk may still be on its way down: no watch need be there yet, so the walk
  // ends by asking for a full check.
  writeText(dir / "a/b/c/old", "1");
  EXPECT_TRUE(loop.runUntil([&] { return overflows == 1; }));
  EXPECT_FALSE(watcher.walkingForTesting());
  EXPECT_EQ(watcher.watchCountForTesting(), 5u);
  EXPECT_FALSE(seen(dir / "d")) << "what was there is not news";
  writeText(dir / "a/b/c/new", "2");
  EXPECT_TRUE(waitFor({dir / "a/b/c/new"}));
  EXPECT_EQ(overflows, 1);

  // Stopped during a walk of a big tree, and started again on an empty one: no overflow from the
  // old walk, and nothing below the new folder but itself.
  for (int i = 0; i < 500; ++i) fs::create_directories(dir / "many" / std::to_string(i));
  TempDir empty;
  overflows = 0;
  ASSERT_TRUE(watcher.start(dir.path(), [](Paths, bool) {}));
  watcher.stop();
  EXPECT_EQ(watcher.watchCountForTesting(), 0u);
  startWatching(empty.path());
  loop.runFor(2 * InotifyWatcher::kLatency);
  EXPECT_EQ(overflows, 0);
  EXPECT_EQ(watcher.watchCountForTesting(), 1u);
}

TEST_F(InotifyWatcherTest, AWritingFolderThatIsALinkIsFollowedButNoLinkBelowIt) {
  TempDir synced, outside;
  fs::create_directories(synced / "Writing/sub");
  fs::create_directory_symlink(synced / "Writing", dir / "Writing");
  fs::create_directory_symlink(outside.path(), synced / "Writing/sub/linked");
  startWatching(dir / "Writing");
  EXPECT_EQ(watcher.watchCountForTesting(), 2u);
  writeText(synced / "Writing/sub/one", "1");
  EXPECT_TRUE(waitFor({dir / "Writing/sub/one"}));

  // A link made later is an entry like any other; what happens behind it is not.
  fs::create_directory_symlink(outside.path(), dir / "Writing/later");
  EXPECT_TRUE(waitFor({dir / "Writing/later"}));
  expectOnlyMarker(outside / "behind", dir / "Writing/marker");
  EXPECT_EQ(watcher.watchCountForTesting(), 2u);
}

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

  const std::string log = ::testing::internal::GetCapturedStderr();
  auto count = [&](std::string_view what) { return qs::testing::countOf(log, what); };
  EXPECT_EQ(count("Quillstone: the writing folder " + root.string() + " went away"), 2u) << log;
  EXPECT_EQ(count("Quillstone: the writing folder " + root.string() + " is back"), 2u) << log;
  EXPECT_EQ(count("\n"), 4u) << log;

  const fs::path mount = dir / "Mounted";
  fs::create_directories(mount);
  if (::mount("quillstone-test", mount.c_str(), "tmpfs", 0, nullptr) != 0) {
    GTEST_SKIP() << "can't mount here: " << std::strerror(errno);
  }
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

TEST_F(InotifyWatcherTest, WatchLimitAndQueueOverflowAreReportedAsOverflow) {
  startWatching(dir.path());
  ::testing::internal::CaptureStderr();
  watcher.setWatchLimitForTesting(1);
  writeText(dir / "a/x", "1");
  EXPECT_TRUE(loop.runUntil([&] { return overflows > 0; }));
  fs::create_directories(dir / "b");
  EXPECT_TRUE(waitFor({dir / "a", dir / "b"}));
  ::testing::internal::GetCapturedStderr();  // the line and its once: WatchLimitTest
  EXPECT_EQ(watcher.watchCountForTesting(), 1u);

  // A lost queue walks the tree again: the folders left unwatched are watched and listed.
  watcher.setWatchLimitForTesting(std::nullopt);
  reported.clear();
  overflows = 0;
  watcher.handleBufferForTesting(kernelBuffer({{-1, IN_Q_OVERFLOW, ""}}));
  EXPECT_TRUE(loop.runUntil([&] { return overflows > 0; }));
  EXPECT_TRUE(seen(dir / "a/x"));
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

TEST(InotifyWatcherLifetimeTest, AWatcherDestroyedInItsOwnCallbackStopsCleanly) {
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

  InotifyWatcher unstarted(loop);
  EXPECT_FALSE(unstarted.start(dir / "missing", [](Paths, bool) {}));
}

}  // namespace
}  // namespace qs::library
