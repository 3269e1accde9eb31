#include "core/guarded.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "core/event_loop.h"

namespace qs {
namespace {

TEST(GuardedTest, NothingThrownGetsPastAndTheFailureIsLogged) {
  // What a task throws (a std::exception, else an int) and what is logged, with and without a
  // name for the task.
  for (const auto& [what, standard, logged] :
       std::vector<std::tuple<const char*, bool, const char*>>{
           {nullptr, true, "Quillstone: disk gone\n"},
           {nullptr, false, "Quillstone: an unexpected failure\n"},
           {"a background task", true, "Quillstone: a background task failed: disk gone\n"},
           {"a main-loop task", false, "Quillstone: a main-loop task failed\n"}}) {
    testing::internal::CaptureStderr();
    guarded(
        [&] {
          if (standard) throw std::runtime_error("disk gone");
          throw 7;
        },
        what);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), logged);
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
