// Runs the built quillstone-cli with arguments and standard input, and collects what it prints.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace qs::testing {

struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
};

enum class Start { kDirectly, kOnTerminal };
CliResult runCLI(const std::vector<std::string>& args, const std::string& input = "",
                 const std::map<std::string, std::string>& env = {},
                 Start start = Start::kDirectly);

// The tool on a writing folder, support folder and settings of the test's own.
class CliTest : public ::testing::Test {
 protected:
  std::vector<std::string> places(std::vector<std::string> args) const {
    args.insert(args.begin(),
                {"--root", (dir_ / "Writing").string(), "--support", (dir_ / "Support").string()});
    return args;
  }
  std::map<std::string, std::string> env() const {
    return {{"QUILLSTONE_CONFIG", (dir_ / "config").string()},
            {"XDG_DATA_HOME", (dir_ / "data").string()}};
  }
  CliResult cli(std::vector<std::string> args, const std::string& input = "",
                Start start = Start::kDirectly) const {
    return runCLI(places(std::move(args)), input, env(), start);
  }

  TempDir dir_{scratchFolder()};
};

}  // namespace qs::testing
