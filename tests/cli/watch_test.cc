#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "core/json.h"
#include "library/package.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using qs::testing::TempDir;

// quillstone-cli watch as a script uses it: started, fed changes, stopped with SIGTERM.
class CliWatch {
 public:
  CliWatch(const TempDir& dir) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
      setenv("QUILLSTONE_DEBUG", "1", 1);
      setenv("QUILLSTONE_CONFIG", (dir / "config").c_str(), 1);
      const std::string root = (dir / "Writing").string(), support = (dir / "Support").string();
      execl(QS_CLI_PATH, QS_CLI_PATH, "--root", root.c_str(), "--support", support.c_str(), "watch",
            nullptr);
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~CliWatch() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }
  // The next line on `fd`, or none after `seconds`.
  std::optional<std::string> line(int fd, std::string& buffer, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (buffer.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      buffer.append(buf, static_cast<std::size_t>(n));
    }
    const auto at = buffer.find('\n');
    std::string l = buffer.substr(0, at);
    buffer.erase(0, at + 1);
    return l;
  }
  std::optional<std::string> out_line(int seconds) { return line(out_, out_buffer_, seconds); }
  std::optional<std::string> err_line(int seconds) { return line(err_, err_buffer_, seconds); }
  int stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string out_buffer_, err_buffer_;
};

TEST(CliWatchTest, ReportsOutsideChangesAsLinesAndStopsCleanly) {
  TempDir dir;
  const auto doc = [](std::string_view id, std::string_view text) {
    return json::object{
        {"id", id}, {"title", id}, {"nodes", json::array{json::object{{"text", text}}}}};
  };
  ASSERT_TRUE(library::writePackage(dir / "Writing/Known.quillstone", json::object{{"rev", 3}},
                                    doc("known", "before")));
  CliWatch watch(dir);
  auto started = watch.err_line(20);
  ASSERT_TRUE(started && started->find("watching") != std::string::npos);

  // Another program changes a known document and adds a new one.
  ASSERT_TRUE(library::writePackage(dir / "staged/Known.quillstone", json::object{{"rev", 1}},
                                    doc("known", "after")));
  std::filesystem::remove_all(dir / "Writing/Known.quillstone");
  std::filesystem::rename(dir / "staged/Known.quillstone", dir / "Writing/Known.quillstone");
  auto line = watch.out_line(20);
  ASSERT_TRUE(line);
  auto records = json::parse(*line);
  ASSERT_TRUE(records && records->is_array());
  ASSERT_EQ(records->as_array().size(), 1u);
  EXPECT_EQ(records->at(0).at("id"), "known");
  EXPECT_EQ(records->at(0).at("rev"), 4);
  EXPECT_EQ(records->at(0).at("doc").at("nodes").at(0).at("text"), "after");

  std::filesystem::remove_all(dir / "Writing/Known.quillstone");
  line = watch.out_line(20);
  ASSERT_TRUE(line);
  EXPECT_EQ(json::parse(*line)->at(0).at("deleted"), true);
  EXPECT_EQ(watch.stop(), 0);
}

}  // namespace
}  // namespace qs
