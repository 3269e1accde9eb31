#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/cli_runner.h"
#include "core/json.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using testing::write_text;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class CliImportTest : public testing::CliTest {
 protected:
  // A document of `nodes` small nodes: far more objects than bytes, as the page's trees are.
  static json::object document(std::size_t i, int nodes) {
    json::array list;
    for (int n = 0; n < nodes; ++n) {
      list.push_back(json::object{{"id", "n" + std::to_string(n)}, {"t", "p"}, {"x", "w"}});
    }
    const std::string id = "d-" + std::to_string(i);
    return json::object{
        {"id", id}, {"title", "Doc " + std::to_string(i)}, {"updated", 5000}, {"nodes", list}};
  }
  static std::string backup_text(const json::array& docs) {
    return *json::compact(json::object{
        {"format", "quillstone/backup"}, {"version", 1}, {"schema", 3}, {"docs", docs}});
  }
};

TEST_F(CliImportTest, ShowsProgressOnATerminal) {
  write_text(dir_ / "b.json", backup_text({document(1, 2), document(2, 2)}));
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("QUILLSTONE_CONFIG", (dir_ / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    auto args = places({"import-backup", (dir_ / "b.json").string()});
    std::vector<char*> argv{const_cast<char*>(QS_CLI_PATH)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(QS_CLI_PATH, argv.data());
    _exit(127);
  }
  std::string screen;
  char buf[4096];
  for (ssize_t n; (n = read(terminal, buf, sizeof buf)) > 0;) screen.append(buf, n);
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(screen.find("\rImporting [##############################] 2 of 2"), std::string::npos)
      << screen;
  EXPECT_NE(screen.find("{\"count\":2,"), std::string::npos) << screen;

  // A file that can't be brought in says why. (Off a terminal the counts come alone: below.)
  write_text(dir_ / "none.json", backup_text({}));
  auto none = cli({"import-backup", (dir_ / "none.json").string()});
  EXPECT_EQ(std::tie(none.status, none.out), std::tuple(1, ""));
  EXPECT_TRUE(none.err.starts_with("quillstone-cli: That backup has no documents in it.\n"))
      << none.err;
  EXPECT_EQ(cli({"import-backup"}).status, 2);
}

// 10,000 documents the library already has: each is read, checked and compared, and the
// import holds no more than about twice the file's size beyond what a one-document import
// holds.
TEST_F(CliImportTest, TenThousandDocumentsInBoundedMemory) {
  const std::size_t count = kSanitized ? 1000 : 10000;
  json::array docs;
  for (std::size_t i = 0; i < count; ++i) {
    json::object d = document(i, 60);
    const fs::path package = dir_ / "Writing" / ("Doc " + std::to_string(i) + ".quillstone");
    write_text(
        package / "document.json",
        *json::compact(json::object{
            {"format", "quillstone/document"},
            {"doc", json::object{{"id", d.at("id")}, {"updated", 5000}, {"nodes", json::array()}}},
            {"record", json::object{{"rev", 1}}}}));
    docs.push_back(std::move(d));
  }
  const std::string text = backup_text(docs);
  docs.clear();
  write_text(dir_ / "big.json", text);
  write_text(dir_ / "small.json", backup_text({document(0, 60)}));

  auto small = cli({"import-backup", (dir_ / "small.json").string()});
  ASSERT_EQ(small.status, 0) << small.err;
  auto big = cli({"import-backup", (dir_ / "big.json").string()});
  ASSERT_EQ(big.status, 0) << big.err;
  EXPECT_EQ(
      std::tie(big.out, big.err),
      std::tuple("{\"count\":0,\"skipped\":" + std::to_string(count) + ",\"failed\":[]}\n", ""));
  if (!kSanitized) {  // the sanitizer keeps freed memory aside
    const long file_kb = static_cast<long>(text.size() / 1024);
    EXPECT_LT(big.peak_kb - small.peak_kb, 2 * file_kb)
        << "file " << file_kb << " KiB, peak " << big.peak_kb << " KiB against " << small.peak_kb;
  }
}

}  // namespace
}  // namespace qs
