#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "core/json.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using testing::writeText;
using CliImportTest = testing::CliTest;

std::string backupText(std::size_t count) {
  json::array docs;
  for (std::size_t i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    docs.push_back(json::object{{"id", "d-" + n}, {"title", "Doc " + n}, {"nodes", json::array{}}});
  }
  return *json::compact(
      json::object{{"format", "quillstone/backup"}, {"version", 1}, {"schema", 3}, {"docs", docs}});
}

TEST_F(CliImportTest, ShowsProgressOnATerminal) {
  writeText(dir_ / "b.json", backupText(2));
  const auto shown =
      cli({"import-backup", (dir_ / "b.json").string()}, "", testing::Start::kOnTerminal);
  const std::string& screen = shown.out;
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_NE(screen.find("\rImporting [##############################] 2 of 2"), std::string::npos)
      << screen;
  EXPECT_NE(screen.find("{\"count\":2,"), std::string::npos) << screen;

  // A file that can't be brought in says why.
  writeText(dir_ / "none.json", backupText(0));
  auto none = cli({"import-backup", (dir_ / "none.json").string()});
  EXPECT_EQ(std::tie(none.status, none.out), std::tuple(1, ""));
  EXPECT_TRUE(none.err.starts_with("quillstone-cli: That backup has no documents in it.\n"))
      << none.err;
  EXPECT_EQ(cli({"import-backup"}).status, 2);
}

}  // namespace
}  // namespace qs
