#include "core/host_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "support/temp_dir.h"

namespace qs {
namespace {

using qs::testing::linesOf;
using qs::testing::readText;
using qs::testing::TempDir;
using qs::testing::writeText;

TEST(HostLogTest, LineFormatSortsFieldsAfterTimeAndEvent) {
  const json::object fields{{"b", 2}, {"a", "x"}, {"c", 1.5}, {"d", true}};
  EXPECT_EQ(HostLog::line("2026-12-06T08:00:00.000Z", "write", fields),
            "2026-12-06T08:00:00.000Z  write  a=x  b=2  c=1.5  d=true\n");
  EXPECT_EQ(HostLog::line("T", "trash", {}), "T  trash\n");
  EXPECT_EQ(HostLog::line("T", "write", json::object{{"repeated", "a\nb"}}),
            "T  write  repeated=a\\x0ab\n");
}

TEST(HostLogTest, AFileOverTheLimitIsHalvedBeforeTheNextLine) {
  TempDir dir;
  const auto file = dir / "host-log.txt";
  std::string big(1'000'001, 'a');
  big[500'000] = 'M';  // the first kept character
  auto appendNext = [&] {
    ThreadSerialQueue queue("quillstone.hostlog");
    HostLog(file, queue).append("next", {});
  };
  writeText(file, big);
  appendNext();
  const std::string text = readText(file);
  ASSERT_GT(text.size(), 500'000u);
  EXPECT_EQ(text.substr(0, 500'000), std::string(500'000, 'a'));  // the last half, then the line
  EXPECT_TRUE(text.ends_with("  next\n"));
  EXPECT_LT(text.size(), 500'100u);

  writeText(file, std::string(1'000'000, 'b'));  // at the limit: not cut
  appendNext();
  EXPECT_GT(readText(file).size(), 1'000'000u);
}

// The file is made by the first line; lines from many threads stay whole and in each thread's
// order, and a later log on the same file appends.
TEST(HostLogTest, LinesFromManyThreadsStayWholeAndLaterLogsAppend) {
  TempDir dir;
  const auto file = dir / "host-log.txt";
  {
    ThreadSerialQueue queue("quillstone.hostlog");
    HostLog log(file, queue);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < 200; ++i) {
          log.append("burst", {{"thread", t}, {"i", i}, {"pad", std::string(100, 'p')}});
        }
      });
    }
    for (auto& th : threads) th.join();
  }
  {
    ThreadSerialQueue queue("quillstone.hostlog");
    HostLog(file, queue).append("later", {});
  }
  auto lines = linesOf(readText(file));
  ASSERT_EQ(lines.size(), 801u);
  const std::string time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");  // to the millisecond
  EXPECT_TRUE(std::regex_match(lines.back(), std::regex(time + "  later"))) << lines.back();
  lines.pop_back();
  const std::regex burst(time + "  burst  i=(\\d+)  pad=p{100}  thread=(\\d)");
  std::vector<int> next(4, 0);
  for (const auto& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, burst)) << l;
    EXPECT_EQ(std::stoi(m[1]), next.at(std::stoul(m[2]))++) << l;
  }
}

TEST(HostLogTest, NodeIdsAreCountedDepthFirstWithRepeats) {
  auto doc = json::parse(R"({"nodes":[{"id":"a","children":[{"id":"b"},{"id":"a"},{"x":1}]},
                                     {"id":7},{"id":"c","children":"no"},"junk",{"id":"b"}]})");
  auto ids = HostLog::ids(doc->as_object());
  EXPECT_EQ(std::tie(ids.count, ids.repeated), std::tuple(5u, std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(HostLog::ids(json::object{}).count, 0u);
}

}  // namespace
}  // namespace qs
