#include "core/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace qs::file_io {
namespace {

using qs::testing::namesIn;
using qs::testing::readText;
using qs::testing::TempDir;

TEST(FileIoTest, WritesReplaceWholeFilesReadsTakeOnlyFilesAndFoldersAreMade) {
  TempDir dir;
  ASSERT_TRUE(writeAtomically(dir / "a.json", "first"));
  ASSERT_TRUE(writeAtomically(dir / "a.json", "second"));
  EXPECT_EQ(readText(dir / "a.json"), "second");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"a.json"}) << "no temporary file left";
  EXPECT_EQ(*readFile(dir / "a.json"), "second");
  EXPECT_FALSE(readFile(dir / "missing"));
  EXPECT_FALSE(readFileLimited(dir / "a.json", 3));
  EXPECT_FALSE(readFile(dir.path()));  // a folder is not a file
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(readFile(dir / "pipe"));  // a named pipe is refused, not waited on

  EXPECT_TRUE(createFolders(dir / "a/b/c"));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  std::string why;
  EXPECT_FALSE(createFolders(dir / "a.json/sub", &why));
  EXPECT_FALSE(why.empty());
  EXPECT_TRUE(isTemporaryName(".document.json.qs-tmp-0123abcd0001"));
  EXPECT_FALSE(isTemporaryName("document.json"));

  // A pending file appears only when committed: one abandoned leaves the old bytes and no trace.
  {
    PendingFile abandoned;
    ASSERT_TRUE(abandoned.prepare(dir / "a.json", "never"));
    EXPECT_EQ(readText(dir / "a.json"), "second");
  }
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"a", "a.json", "pipe"}));
  PendingFile file;
  ASSERT_TRUE(file.prepare(dir / "a.json", "new"));
  ASSERT_TRUE(file.commit(Durability::kSurvivesCrash));
  EXPECT_EQ(readText(dir / "a.json"), "new");
  EXPECT_FALSE(file.commit(Durability::kSurvivesCrash));  // nothing left to commit
}

}  // namespace
}  // namespace qs::file_io
