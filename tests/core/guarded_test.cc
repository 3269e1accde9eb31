#include "core/guarded.h"

#include <gtest/gtest.h>

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

TEST(GuardedTest, AWorkerGoesOnAfterATaskThrows) {
  ThreadSerialQueue queue("quillstone.test");
  testing::internal::CaptureStderr();
  queue.async([] { throw std::runtime_error("broken"); });
  bool ran = false;
  queue.sync([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Quillstone: a background task failed: broken\n");
}

}  // namespace
}  // namespace qs
