// Paths the library reads and writes on several threads at once: a writer has its path (however
// it is spelled) to itself, other paths go on, and two moves that cross never wait on each other.
#include "library/file_coordinator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qs::library {
namespace {

TEST(FileCoordinatorTest, AWriterHasItsPathAloneAndCrossedMovesDoNotDeadlock) {
  FileCoordinator coordinator;
  std::atomic<int> inside{0}, violations{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const bool writes = (t + i) % 3 == 0;
        auto access = writes ? coordinator.write("/w/A.quillstone/")  // other spellings
                             : coordinator.read("/w/./A.quillstone");
        const int step = writes ? 100 : 1;
        const int before = inside.fetch_add(step);
        if (writes ? before != 0 : before >= 100) violations++;
        std::this_thread::yield();
        inside.fetch_sub(step);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 2000; ++i) auto access = coordinator.write("/w/X", "/w/Y");
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 2000; ++i) auto access = coordinator.write("/w/Y", "/w/X");
  });
  for (auto& th : threads) th.join();
  EXPECT_EQ(violations, 0);
  auto a = coordinator.write("/w/A.quillstone");  // another path is never blocked by these
  auto b = coordinator.write("/w/B.quillstone");
  auto same = coordinator.write("/w/X", "/w/X/");  // one path twice is taken once
}

}  // namespace
}  // namespace qs::library
