// Runs the built quillstone-cli with arguments and standard input, and collects what it prints.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

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
// Both outputs are drained while it is written to, so that the tool never waits on a full pipe.
class CliSession {
 public:
  CliSession(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);
  ~CliSession();  // kills the tool when it is still running
  CliSession(const CliSession&) = delete;
  CliSession& operator=(const CliSession&) = delete;

  // Queues `text` for the tool's standard input; send waits until the line is written.
  void write(std::string_view text) { pending_ += text; }
  void send(const std::string& line);
  // The next line of standard output, none when none comes within `timeout`.
  std::optional<std::string> line(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Writes what is queued, closes standard input and waits for the tool to end: its status, the
  // rest of its output, its peak memory.
  CliResult finish();

 private:
  // Writes what is queued and reads both outputs until `done` holds (true) or `timeout` passes
  // or both outputs are closed (false).
  bool pump(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  bool closing_ = false;  // standard input closes once the queue is written
  std::string pending_, out_buffer_, err_text_;
};

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
  CliResult cli(std::vector<std::string> args, const std::string& input = "") const {
    return run_cli(places(std::move(args)), input, env());
  }

  TempDir dir_{scratch_folder()};
};

}  // namespace qs::testing
