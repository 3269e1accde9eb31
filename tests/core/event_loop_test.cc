#include "core/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qs {
namespace {

using namespace std::chrono_literals;

// The manual loop's due order, cancels and posts from a timer are what every test on the manual
// clock stands on (page calls, context menus, folder watching), so they are proven there.
TEST(ThreadSerialQueueTest, RunsInOrderAndDrainsOnDestruction) {
  std::vector<int> seen;
  {
    ThreadSerialQueue queue("quillstone.test");
    for (int i = 0; i < 1000; ++i) queue.async([&seen, i] { seen.push_back(i); });
    int at_sync = -1;
    queue.sync([&] { at_sync = static_cast<int>(seen.size()); });
    EXPECT_EQ(at_sync, 1000);
    for (int i = 1000; i < 1100; ++i) queue.async([&seen, i] { seen.push_back(i); });
  }
  ASSERT_EQ(seen.size(), 1100u);
  for (int i = 0; i < 1100; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
}

TEST(WorkerPoolTest, StopFinishesEveryQueuedTaskThenDropsLaterOnes) {
  // A quit stops the pool before it lets go of the library: every save queued, and any work
  // a save queues in turn, has finished when stop() returns.
  std::atomic<int> done{0};
  WorkerPool pool(2);
  for (int i = 0; i < 50; ++i) {
    pool.async([&] {
      std::this_thread::sleep_for(1ms);
      pool.async([&] { ++done; });
      ++done;
    });
  }
  pool.stop();
  EXPECT_EQ(done.load(), 100);
  pool.async([&] { ++done; });
  pool.stop();
  EXPECT_EQ(done.load(), 100);
}

}  // namespace
}  // namespace qs
