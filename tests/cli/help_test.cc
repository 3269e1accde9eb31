#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "core/build_info.h"

namespace qs {
namespace {

using testing::run_cli;

TEST(CliHelpTest, UsageErrorsAndVersion) {
  const auto overview = run_cli({"--help"});
  EXPECT_EQ(overview.status, 0);
  EXPECT_EQ(run_cli({"--root", "/nowhere", "-h"}).out, overview.out);
  EXPECT_EQ(run_cli({"help", "render"}).status, 0);
  const auto unknown = run_cli({"help", "frobnicate"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err, "quillstone-cli help: no command \"frobnicate\"\n");
  EXPECT_TRUE(unknown.out.empty());
  EXPECT_EQ(run_cli({"--version"}).out, std::string("quillstone-cli ") + build::kVersion + "\n");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"help", "render", "open"}, {"--version", "extra"}, {}}) {
    EXPECT_EQ(run_cli(args).status, 2) << args.size();
  }
}

}  // namespace
}  // namespace qs
