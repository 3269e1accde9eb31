#include "core/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace qs::file_io {
namespace {

using qs::testing::names_in;
using qs::testing::read_text;
using qs::testing::TempDir;
using qs::testing::write_text;

TEST(FileIoTest, WritesReplaceWholeFilesReadsTakeOnlyFilesAndFoldersAreMade) {
  TempDir dir;
  ASSERT_TRUE(write_atomically(dir / "a.json", "first"));
  ASSERT_TRUE(write_atomically(dir / "a.json", "second"));
  EXPECT_EQ(read_text(dir / "a.json"), "second");
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"a.json"}) << "no temporary file left";
  EXPECT_EQ(*read_file(dir / "a.json"), "second");
  EXPECT_FALSE(read_file(dir / "missing"));
  EXPECT_FALSE(read_file_limited(dir / "a.json", 3));
  EXPECT_FALSE(read_file(dir.path()));  // a folder is not a file
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(read_file(dir / "pipe"));  // a named pipe is refused, not waited on

  EXPECT_TRUE(create_folders(dir / "a/b/c"));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  std::string why;
  EXPECT_FALSE(create_folders(dir / "a.json/sub", &why));
  EXPECT_FALSE(why.empty());
  EXPECT_TRUE(is_temporary_name(".document.json.qs-tmp-0123abcd0001"));
  EXPECT_FALSE(is_temporary_name("document.json"));
}

TEST(FileIoTest, PendingFilesAppearOnlyWhenCommitted) {
  TempDir dir;
  write_text(dir / "doc.json", "old");
  {
    PendingFile abandoned;
    ASSERT_TRUE(abandoned.prepare(dir / "doc.json", "never"));
    EXPECT_EQ(read_text(dir / "doc.json"), "old");
  }
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"doc.json"});
  PendingFile file;
  ASSERT_TRUE(file.prepare(dir / "doc.json", "new"));
  ASSERT_TRUE(file.commit(Durability::kSurvivesCrash));
  EXPECT_EQ(read_text(dir / "doc.json"), "new");
  EXPECT_FALSE(file.commit(Durability::kSurvivesCrash));  // nothing left to commit
}

}  // namespace
}  // namespace qs::file_io
