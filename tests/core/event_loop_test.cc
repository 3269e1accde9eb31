#include "core/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qs {
namespace {

using namespace std::chrono_literals;

TEST(ManualEventLoopTest, TimersRunInDueOrderAsTheClockAdvances) {
  ManualEventLoop loop;
  std::vector<std::string> ran;
  loop.post_after(500ms, [&] { ran.push_back("b"); });
  auto cancelled = loop.post_after(100ms, [&] { ran.push_back("never"); });
  loop.post_after(80ms, [&] {
    ran.push_back("a");
    loop.post([&] { ran.push_back("a-posted"); });
    loop.post_after(80ms, [&] { ran.push_back("a-timer"); });
  });
  loop.cancel(cancelled);
  loop.advance(79ms);
  EXPECT_TRUE(ran.empty());
  loop.advance(1ms);
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "a-posted"}));
  loop.advance(1s);
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "a-posted", "a-timer", "b"}));
  EXPECT_EQ(loop.pending_timers(), 0u);
  loop.cancel(cancelled);  // harmless
}

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
