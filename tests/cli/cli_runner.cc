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
  int in[2], out[2], err[2];
  const pid_t pid = spawn(args, env, in[1], out[0], err[0]);
  if (pid < 0) return {};
  // Feed standard input and drain both outputs together so that no pipe fills up.
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  std::size_t written = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  CliResult result;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    poll(fds, in[1] >= 0 ? 3 : 2, 10000);
    char buf[65536];
    if (fds[0].revents) {
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0)
        out_open = false;
      else
        result.out.append(buf, static_cast<std::size_t>(n));
    }
    if (fds[1].revents) {
      ssize_t n = read(err[0], buf, sizeof buf);
      if (n <= 0)
        err_open = false;
      else
        result.err.append(buf, static_cast<std::size_t>(n));
    }
    if (in[1] >= 0 && fds[2].revents) {
      ssize_t n = write(in[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 || written == input.size()) {
        close(in[1]);
        in[1] = -1;
      }
    }
  }
  if (in[1] >= 0) close(in[1]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.peak_kb = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

CliSession::CliSession(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env) {
  pid_ = spawn(args, env, in_, out_, err_);
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
  const std::string text = line + "\n";
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = write(in_, text.data() + written, text.size() - written);
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

bool CliSession::readUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out_ < 0) return false;
    // Both are drained, so that the tool never waits on a full pipe.
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, err_ >= 0 ? 2 : 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[65536];
    if (fds[0].revents) {
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      out_buffer_.append(buf, static_cast<std::size_t>(n));
    }
    if (err_ >= 0 && fds[1].revents) {
      const ssize_t n = read(err_, buf, sizeof buf);
      if (n <= 0) {
        close(err_);
        err_ = -1;
      } else {
        err_text_.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  return true;
}

std::optional<std::string> CliSession::line(std::chrono::milliseconds timeout) {
  if (!readUntil([this] { return out_buffer_.find('\n') != std::string::npos; }, timeout)) {
    return std::nullopt;
  }
  const std::size_t end = out_buffer_.find('\n');
  std::string text = out_buffer_.substr(0, end);
  out_buffer_.erase(0, end + 1);
  return text;
}

bool CliSession::waitForError(std::string_view text, std::chrono::milliseconds timeout) {
  return readUntil([&] { return err_text_.find(text) != std::string::npos; }, timeout);
}

CliResult CliSession::finish(int signal) {
  if (signal) kill(pid_, signal);
  close(in_);
  in_ = -1;
  CliResult result;
  char buf[65536];
  for (int* fd : {&out_, &err_}) {
    if (*fd < 0) continue;
    ssize_t n;
    while ((n = read(*fd, buf, sizeof buf)) > 0) {
      (fd == &out_ ? out_buffer_ : err_text_).append(buf, static_cast<std::size_t>(n));
    }
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = std::move(out_buffer_);
  result.err = std::move(err_text_);
  return result;
}

}  // namespace qs::testing
