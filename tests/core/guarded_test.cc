#include "core/guarded.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "core/event_loop.h"

namespace qs {
namespace {

TEST(GuardedTest, NothingThrownGetsPastAndTheFailureIsLogged) {
  struct Case {
    const char* what;
    bool standard;  // a std::exception, else an int
    const char* logged;
  };
  for (const Case& c : {
           Case{nullptr, true, "Quillstone: disk gone\n"},
           Case{nullptr, false, "Quillstone: an unexpected failure\n"},
           Case{"a background task", true, "Quillstone: a background task failed: disk gone\n"},
           Case{"a main-loop task", false, "Quillstone: a main-loop task failed\n"},
       }) {
    testing::internal::CaptureStderr();
    guarded(
        [&] {
          if (c.standard) throw std::runtime_error("disk gone");
          throw 7;
        },
        c.what);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.logged);
  }
}

// A quit stops the pool before it lets go of the library: every save queued, and any work a save
// queues in turn, has finished when stop() returns; what comes later is dropped.
TEST(GuardedTest, WorkersGoOnAfterATaskThrowsAndAStopFinishesTheQueue) {
  testing::internal::CaptureStderr();
  ThreadSerialQueue queue("quillstone.test");
  queue.async([] { throw std::runtime_error("broken"); });
  bool ran = false;
  queue.sync([&] { ran = true; });
  EXPECT_TRUE(ran);

  std::atomic<int> done{0};
  WorkerPool pool(2);
  pool.async([] { throw 7; });
  for (int i = 0; i < 50; ++i) {
    pool.async([&] {
      pool.async([&] { ++done; });
      ++done;
    });
  }
  pool.stop();
  pool.async([&] { ++done; });
  pool.stop();
  EXPECT_EQ(done.load(), 100);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Quillstone: a background task failed: broken\nQuillstone: a background task failed\n");
}

}  // namespace
}  // namespace qs
