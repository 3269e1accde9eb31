// Runs the built quillstone-cli with arguments and standard input, and collects what it prints.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qs::testing {

struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
  long peak_kb = 0;  // the most memory the process held (resident set), in KiB
};

CliResult run_cli(const std::vector<std::string>& args, const std::string& input = "",
                  const std::map<std::string, std::string>& env = {});

}  // namespace qs::testing
