#include <gtest/gtest.h>

#include <sstream>

#include "cli/cli_runner.h"
#include "core/build_info.h"

namespace qs {
namespace {

using testing::run_cli;

// The commands the overview lists, each a line "  NAME …".
std::vector<std::string> listed_commands(const std::string& overview) {
  std::vector<std::string> names;
  std::istringstream lines(overview);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > 2 && line.starts_with("  ") && std::islower(line[2])) {
      const std::string name = line.substr(2, line.find(' ', 2) - 2);
      if (names.empty() || names.back() != name) names.push_back(name);
    }
  }
  return names;
}

TEST(CliHelpTest, OverviewEveryCommandsHelpAndVersion) {
  const auto overview = run_cli({"--help"});
  ASSERT_EQ(overview.status, 0);
  EXPECT_TRUE(overview.out.starts_with("usage: quillstone-cli ")) << overview.out;
  EXPECT_EQ(run_cli({"help"}).out, overview.out);
  EXPECT_EQ(run_cli({"--root", "/nowhere", "-h"}).out, overview.out);

  const auto commands = listed_commands(overview.out);
  EXPECT_GE(commands.size(), 10u) << overview.out;
  for (const auto& command : commands) {
    const auto help = run_cli({"help", command});
    EXPECT_EQ(help.status, 0) << command << ": " << help.err;
    EXPECT_TRUE(help.out.starts_with("usage: quillstone-cli " + command)) << help.out;
    EXPECT_GT(help.out.size(), 60u) << command << " is described";
  }

  const auto unknown = run_cli({"help", "frobnicate"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err, "quillstone-cli help: no command \"frobnicate\"\n");
  EXPECT_TRUE(unknown.out.empty());
  EXPECT_EQ(run_cli({"help", "render", "open"}).status, 2);

  const auto version = run_cli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("quillstone-cli ") + build::kVersion + "\n");
  EXPECT_EQ(run_cli({"--version", "extra"}).status, 2);
  EXPECT_EQ(run_cli({}).status, 2) << "no command is a usage error";
}

}  // namespace
}  // namespace qs
