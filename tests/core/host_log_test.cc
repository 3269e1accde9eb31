#include "core/host_log.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace qs {
namespace {

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

}  // namespace
}  // namespace qs
