#include "cli/cli_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace qs::testing {

namespace {

// Starts the tool on a terminal of its own, and copies what it shows to standard output.
constexpr const char* kTerminal = R"(import os, pty, sys
sys.exit(os.waitstatus_to_exitcode(pty.spawn(sys.argv[1:]))))";

}  // namespace

// Standard input, output and error are files, so that neither side ever waits on a full pipe.
CliResult runCLI(const std::vector<std::string>& args, const std::string& input,
                 const std::map<std::string, std::string>& env, Start start) {
  TempDir io;
  writeText(io / "in", input);
  // Made before the fork: the child of a threaded process only opens, duplicates and executes.
  const std::string files[3] = {io / "in", io / "out", io / "err"};
  std::vector<std::string> copy = args;
  copy.insert(copy.begin(), QS_CLI_PATH);
  if (start == Start::kOnTerminal) copy.insert(copy.begin(), {"python3", "-c", kTerminal});
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> pairs;
  std::vector<char*> envp;
  for (const auto& [k, v] : env) pairs.push_back(k + "=" + v);
  for (auto& p : pairs) envp.push_back(p.data());
  for (char** e = environ; *e; ++e)
    if (!env.contains(std::string(*e, std::strcspn(*e, "=")))) envp.push_back(*e);
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    for (int fd = 0; fd < 3; ++fd) {
      const int opened =
          open(files[fd].c_str(), fd ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY, 0600);
      if (opened < 0 || dup2(opened, fd) < 0) _exit(127);
      close(opened);
    }
    execve(start == Start::kDirectly ? QS_CLI_PATH : "/usr/bin/python3", argv.data(), envp.data());
    _exit(127);
  }
  CliResult result;
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readText(io / "out");
  result.err = readText(io / "err");
  return result;
}

}  // namespace qs::testing
