#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "core/json.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using testing::writeText;

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
  static std::string backupText(const json::array& docs) {
    return *json::compact(json::object{
        {"format", "quillstone/backup"}, {"version", 1}, {"schema", 3}, {"docs", docs}});
  }
};

TEST_F(CliImportTest, ShowsProgressOnATerminal) {
  writeText(dir_ / "b.json", backupText({document(1, 2), document(2, 2)}));
  const auto shown =
      cli({"import-backup", (dir_ / "b.json").string()}, "", testing::Start::kOnTerminal);
  const std::string& screen = shown.out;
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_NE(screen.find("\rImporting [##############################] 2 of 2"), std::string::npos)
      << screen;
  EXPECT_NE(screen.find("{\"count\":2,"), std::string::npos) << screen;

  // A file that can't be brought in says why. (Off a terminal the counts come alone: below.)
  writeText(dir_ / "none.json", backupText({}));
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
    const fs::path package = dir_ / "Writing" / ("Doc " + std::to_string(i) + ".quillstone");
    writeText(package / "document.json", R"({"format":"quillstone/document","doc":{"id":"d-)" +
                                             std::to_string(i) +
                                             R"(","updated":5000,"nodes":[]},"record":{"rev":1}})");
    docs.push_back(document(i, 60));
  }
  const std::string text = backupText(docs);
  docs.clear();
  writeText(dir_ / "big.json", text);
  writeText(dir_ / "small.json", backupText({document(0, 60)}));

  auto measured = [&](const char* name) {
    return cli({"import-backup", (dir_ / name).string()}, "", testing::Start::kMeasuringPeak);
  };
  auto small = measured("small.json");
  ASSERT_EQ(small.status, 0) << small.err;
  auto big = measured("big.json");
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
