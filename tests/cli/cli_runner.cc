#include "cli/cli_runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace qs::testing {

// Standard input, output and error are files, so that neither side ever waits on a full pipe.
CliResult run_cli(const std::vector<std::string>& args, const std::string& input,
                  const std::map<std::string, std::string>& env) {
  TempDir io;
  write_text(io / "in", input);
  write_text(io / "out", "");
  write_text(io / "err", "");
  // Made before the fork: the child of a threaded process only opens, duplicates and executes.
  const std::string files[3] = {io / "in", io / "out", io / "err"};
  std::vector<std::string> copy = args;
  std::vector<char*> argv{const_cast<char*>(QS_CLI_PATH)};
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> pairs;
  std::vector<char*> envp;
  for (const auto& [k, v] : env) pairs.push_back(k + "=" + v);
  for (auto& p : pairs) envp.push_back(p.data());
  for (char** e = environ; *e; ++e) {
    if (!env.contains(std::string(*e, std::strcspn(*e, "=")))) envp.push_back(*e);
  }
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    for (int fd = 0; fd < 3; ++fd) {
      const int opened = open(files[fd].c_str(), fd ? O_WRONLY | O_TRUNC : O_RDONLY);
      if (opened < 0 || dup2(opened, fd) < 0) _exit(127);
      close(opened);
    }
    execve(QS_CLI_PATH, argv.data(), envp.data());
    _exit(127);
  }
  CliResult result;
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return result;
  result.peak_kb = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = read_text(io / "out");
  result.err = read_text(io / "err");
  return result;
}

}  // namespace qs::testing
