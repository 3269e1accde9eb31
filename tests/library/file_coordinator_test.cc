#include "library/file_coordinator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qs::library {
namespace {

TEST(FileCoordinatorTest, AWriterExcludesReadersAndOtherWritersOfThePathOnly) {
  FileCoordinator coordinator;
  std::atomic<int> inside{0}, readers_max{0}, violations{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        if ((t + i) % 3 == 0) {
          auto access = coordinator.write("/w/A.quillstone/");  // same path, other spelling
          if (inside.fetch_add(100) != 0) violations++;
          std::this_thread::yield();
          inside.fetch_sub(100);
        } else {
          auto access = coordinator.read("/w/./A.quillstone");
          const int now = inside.fetch_add(1) + 1;
          if (now >= 100) violations++;
          readers_max = std::max(readers_max.load(), now);
          std::this_thread::yield();
          inside.fetch_sub(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(violations, 0);
  // Another path is never blocked by these.
  auto a = coordinator.write("/w/A.quillstone");
  auto b = coordinator.write("/w/B.quillstone");
}

TEST(FileCoordinatorTest, CrossedMovesDoNotDeadlock) {
  FileCoordinator coordinator;
  std::thread one([&] {
    for (int i = 0; i < 2000; ++i) auto access = coordinator.write("/w/X", "/w/Y");
  });
  std::thread two([&] {
    for (int i = 0; i < 2000; ++i) auto access = coordinator.write("/w/Y", "/w/X");
  });
  one.join();
  two.join();
  auto same = coordinator.write("/w/X", "/w/X/");  // one path twice is taken once
  SUCCEED();
}

}  // namespace
}  // namespace qs::library
