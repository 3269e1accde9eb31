// Runs the built quillstone-cli with arguments and standard input, and collects what it prints.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
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

// quillstone-cli running with its standard input open, for a command that answers as it goes.
class CliSession {
 public:
  CliSession(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);
  ~CliSession();  // kills the tool when it is still running
  CliSession(const CliSession&) = delete;
  CliSession& operator=(const CliSession&) = delete;

  void send(const std::string& line);
  // The next line of standard output, none when none comes within `timeout`.
  std::optional<std::string> line(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Closes standard input and waits for the tool to end: its status, the rest of its output.
  CliResult finish();

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string out_buffer_, err_text_;
};

}  // namespace qs::testing
