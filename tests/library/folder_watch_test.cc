#include "library/folder_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "support/real_time_loop.h"

namespace qs::library {
namespace {

using namespace std::chrono_literals;
using Paths = std::vector<std::string>;

const std::string kFolder = "/home/u/Writing";
const std::string kDoc = kFolder + "/Letter.quillstone/document.json";
const std::string kInbox = kFolder + "/.quillstone/claude/inbox/r-1.json";

// A FileEvents source the test fires by hand.
struct FakeEvents final : FileEvents {
  struct Source {
    Callback callback;
    bool running = false;
    void fire(const Paths& paths, bool overflow = false) {
      if (running) callback(paths, overflow);
    }
  };
  explicit FakeEvents(Source& s) : source(s) {}
  bool start(const std::filesystem::path&, Callback callback) override {
    source.callback = std::move(callback);
    return source.running = true;
  }
  void stop() override { source.running = false; }
  Source& source;
};

class FolderWatchTest : public ::testing::Test {
 protected:
  FolderWatchTest() { watch.start(kFolder, std::make_unique<FakeEvents>(source)); }

  ManualEventLoop loop;
  InlineSerialQueue work;
  int checks = 0;
  std::vector<json::array> delivered;
  FakeEvents::Source source;
  FolderWatch watch{loop, work,
                    [this] {
                      ++checks;
                      return json::array{};
                    },
                    [this](const json::array& records) { delivered.push_back(records); }, nullptr};
};

TEST_F(FolderWatchTest, ABurstLeadsToOneCheckAfterItsLastEventAndEndlessEventsStillGetChecked) {
  for (int i = 0; i < 1000; ++i) {
    if (i % 10 == 0) loop.advance(1ms);
    source.fire({kFolder + "/Doc " + std::to_string(i) + ".quillstone/document.json"});
  }
  loop.advance(FolderWatch::kQuietPeriod - 1ms);
  EXPECT_EQ(checks, 0);
  loop.advance(1ms);
  EXPECT_EQ(checks, 1);
  loop.advance(5s);
  EXPECT_EQ(checks, 1);
  EXPECT_TRUE(delivered.empty()) << "a check that finds nothing delivers nothing";

  // Events that never stop still get checked.
  for (int i = 0; i < 20; ++i) {
    source.fire({kDoc});
    loop.advance(300ms);
  }
  EXPECT_EQ(checks, 3);  // at 2.0 s and 4.1 s, each 2 s after the first event it answers
  loop.advance(1s);
  EXPECT_EQ(checks, 4);

  // Lost events start a check whatever the paths; once stopped, nothing pending fires.
  source.fire({kInbox}, true);
  loop.advance(FolderWatch::kQuietPeriod);
  EXPECT_EQ(checks, 5);
  source.fire({kDoc});
  watch.stop();
  loop.advance(3s);
  EXPECT_EQ(checks, 5);

  // A check still out when its watch goes delivers nowhere.
  auto doomed = std::make_unique<FolderWatch>(
      loop, work, [] { return json::array{json::value(1)}; },
      [](const json::array&) { ADD_FAILURE() << "delivered after destruction"; }, nullptr);
  doomed->look();
  doomed.reset();
  loop.runPending();
}

TEST_F(FolderWatchTest, LooksDuringARunningCheckShareOneMoreAndAnswerAfterDelivery) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> runs = 0;
  qs::testing::RealTimeLoop main;
  ThreadSerialQueue queue("quillstone.test");
  FolderWatch gated(
      main, queue,
      [&] {
        const int run = ++runs;
        opened.wait();
        return json::array{json::value(run)};
      },
      [&](const json::array& records) { delivered.push_back(records); }, nullptr);
  std::vector<json::array> answers(3);
  for (auto& answer : answers) {
    gated.look([&](const json::array& records) {
      EXPECT_EQ(delivered.back(), records) << "delivered before the answer";
      answer = records;
    });
  }
  gate.set_value();
  EXPECT_TRUE(main.runUntil([&] { return !answers[2].empty(); }, 60s));
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(answers, (std::vector<json::array>{{1}, {2}, {2}}));
  EXPECT_EQ(delivered, (std::vector<json::array>{{1}, {2}}));
}

}  // namespace
}  // namespace qs::library
