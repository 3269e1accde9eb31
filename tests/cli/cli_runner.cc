#include "cli/cli_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace qs::testing {

namespace {

// Starts the tool on three new pipes; gives its process and our ends of its standard input,
// output and error (-1 for the process when the pipes couldn't be made).
pid_t spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
            int& in_fd, int& out_fd, int& err_fd) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> argv;
    std::string path = QS_CLI_PATH;
    argv.push_back(path.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_fd = in[1];
  out_fd = out[0];
  err_fd = err[0];
  return pid;
}

}  // namespace

CliResult run_cli(const std::vector<std::string>& args, const std::string& input,
                  const std::map<std::string, std::string>& env) {
  CliSession session(args, env);
  session.write(input);
  return session.finish();
}

CliSession::CliSession(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env) {
  pid_ = spawn(args, env, in_, out_, err_);
  if (pid_ > 0) fcntl(in_, F_SETFL, O_NONBLOCK);
}

CliSession::~CliSession() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) close(fd);
  }
}

void CliSession::send(const std::string& line) {
  write(line + "\n");
  pump([this] { return pending_.empty(); }, std::chrono::seconds(20));
}

bool CliSession::pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (closing_ && pending_.empty() && in_ >= 0) {
      close(in_);
      in_ = -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || (out_ < 0 && err_ < 0)) return false;
    // A negative descriptor is passed over by poll.
    pollfd fds[3] = {
        {out_, POLLIN, 0}, {err_, POLLIN, 0}, {pending_.empty() ? -1 : in_, POLLOUT, 0}};
    if (poll(fds, 3, static_cast<int>(left.count())) <= 0) continue;
    char buf[65536];
    for (auto [fd, text] : {std::pair{&out_, &out_buffer_}, std::pair{&err_, &err_text_}}) {
      if (!fds[fd == &err_].revents) continue;
      const ssize_t n = read(*fd, buf, sizeof buf);
      if (n > 0) {
        text->append(buf, static_cast<std::size_t>(n));
      } else {
        close(*fd);
        *fd = -1;
      }
    }
    if (fds[2].revents) {
      const ssize_t n = ::write(in_, pending_.data(), pending_.size());
      pending_.erase(0, n < 0 ? pending_.size() : static_cast<std::size_t>(n));
    }
  }
  return true;
}

std::optional<std::string> CliSession::line(std::chrono::milliseconds timeout) {
  if (!pump([this] { return out_buffer_.find('\n') != std::string::npos; }, timeout)) {
    return std::nullopt;
  }
  const std::size_t end = out_buffer_.find('\n');
  std::string text = out_buffer_.substr(0, end);
  out_buffer_.erase(0, end + 1);
  return text;
}

CliResult CliSession::finish() {
  if (pid_ <= 0) return {};
  closing_ = true;
  pump([] { return false; }, std::chrono::minutes(10));
  if (in_ >= 0) close(in_);
  in_ = -1;
  int status = 0;
  rusage usage{};
  wait4(pid_, &status, 0, &usage);
  pid_ = -1;
  CliResult result;
  result.peak_kb = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = std::move(out_buffer_);
  result.err = std::move(err_text_);
  return result;
}

}  // namespace qs::testing
