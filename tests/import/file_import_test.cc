#include "import/file_import.h"

#include <gtest/gtest.h>

#include "import/backup_import.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::TempDir;
using testing::write_text;

TEST(FileImportTest, FilesCloseTogetherGoOutAsOneBatch) {
  ManualEventLoop loop;
  std::vector<std::vector<fs::path>> flushed;
  ImportBatch batch(loop, [&](std::vector<fs::path> files) { flushed.push_back(files); });
  batch.add({});
  batch.add({"a.md"});
  loop.advance(200ms);
  batch.add({"b.md", "c.md"});
  loop.advance(299ms);
  EXPECT_TRUE(flushed.empty());  // each file restarts the wait
  loop.advance(1ms);
  ASSERT_EQ(flushed.size(), 1u);
  EXPECT_EQ(flushed[0], (std::vector<fs::path>{"a.md", "b.md", "c.md"}));
  batch.add({"d.md"});
  loop.advance(500ms);
  batch.add({"e.md"});
  loop.advance(500ms);
  EXPECT_EQ(flushed.size(), 3u);
  {
    ImportBatch gone(loop,
                     [&](std::vector<fs::path>) { ADD_FAILURE() << "flushed after it went"; });
    gone.add({"f.md"});
  }
  loop.advance(1s);
}

TEST(FileImportTest, AWindowKeepsFilesUntilItsPageLoaded) {
  ManualEventLoop loop;
  std::vector<std::vector<fs::path>> delivered;
  PendingImports pending(loop, [&](std::vector<fs::path> files) { delivered.push_back(files); });
  EXPECT_FALSE(pending.keep({"now.md"}, true));
  EXPECT_TRUE(pending.keep({"a.md"}, false));
  EXPECT_TRUE(pending.keep({"b.md"}, false));
  pending.pageLoaded();
  loop.advance(399ms);
  EXPECT_TRUE(delivered.empty());
  loop.advance(1ms);
  EXPECT_EQ(delivered, (std::vector<std::vector<fs::path>>{{"a.md", "b.md"}}));
  pending.pageLoaded();  // nothing waits
  loop.advance(1s);
  EXPECT_EQ(delivered.size(), 1u);
  {
    PendingImports closed(loop, [&](std::vector<fs::path>) { ADD_FAILURE() << "after close"; });
    EXPECT_TRUE(closed.keep({"c.md"}, false));
    closed.pageLoaded();
  }
  loop.advance(1s);
}

TEST(FileImportTest, EntriesAndTheSplitOfChosenFiles) {
  TempDir dir;
  write_text(dir / "NOTES.MD", "# Hi");
  write_text(dir / "odd.mkdn", "x");
  write_text(dir / "project.json", R"({"format":"quillstone/project"})");
  write_text(dir / "backup.JSON", R"({"format":"quillstone/backup","docs":[]})");
  write_text(dir / "backup.txt", R"({"format":"quillstone/backup","docs":[]})");
  for (const char* name : {"NOTES.MD", "a.markdown", "a.mdown", "a.mkd", "odd.mkdn", "a.txt",
                           "a.text", "a.docx", "a.json"}) {
    EXPECT_TRUE(isImportable(name)) << name;
  }
  for (const char* name : {"a.pdf", "md", "a.md.zip", "a."}) EXPECT_FALSE(isImportable(name));

  auto split = splitChosen(
      {dir / "NOTES.MD", dir / "backup.JSON", dir / "project.json", dir / "backup.txt"});
  EXPECT_EQ(split.backups, std::vector<fs::path>{dir / "backup.JSON"});
  EXPECT_EQ(split.files,
            (std::vector<fs::path>{dir / "NOTES.MD", dir / "project.json", dir / "backup.txt"}));

  auto entries = importEntries({dir / "NOTES.MD", dir / "missing.md", dir.path(), dir / "odd.mkdn"},
                               [](std::string_view ext) {
                                 return ext == "md" ? std::string("text/markdown")
                                                    : std::string(kUnknownMimeType);
                               });
  EXPECT_EQ(entries,
            (json::array{
                json::object{{"name", "NOTES.MD"}, {"type", "text/markdown"}, {"data", "IyBIaQ=="}},
                json::object{{"name", "odd.mkdn"}, {"type", ""}, {"data", "eA=="}}}));
}

TEST(FileImportTest, AlertTexts) {
  BackupImport::Result one{1, 0, {}, {}};
  auto texts = [](const auto& alert) { return std::tuple(alert.message, alert.informative); };
  EXPECT_EQ(texts(BackupImport::reportAlert(one, "Documents \u2192 Quillstone")),
            std::tuple("1 document brought in", "They're in Documents \u2192 Quillstone."));
  BackupImport::Result again{0, 3, {"a", "b"}, {"Plans", "Untitled"}};
  EXPECT_EQ(texts(BackupImport::reportAlert(again, "Home \u2192 Writing")),
            std::tuple("0 documents brought in",
                       "They're in Home \u2192 Writing. 3 already here and newer were left as "
                       "they are. Couldn't write \u201cPlans\u201d, \u201cUntitled\u201d."));
  auto offer = BackupImport::offerAlert(true, "Documents \u2192 Quillstone");
  EXPECT_EQ(offer.message, "Bring your writing to this computer");
  EXPECT_EQ(offer.informative,
            "In Quillstone on the web, open Settings \u2192 Your data \u2192 Download a backup. "
            "Then choose that file here.\n\nEach document becomes a file in Documents \u2192 "
            "Quillstone. Nothing in the browser is changed.");
  EXPECT_EQ(BackupImport::offerAlert(false, "x").message, "Import a backup");
}

}  // namespace
}  // namespace qs
