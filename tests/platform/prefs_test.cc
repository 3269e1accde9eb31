#include "platform/prefs.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace qs {
namespace {

using qs::testing::readText;
using qs::testing::TempDir;
using qs::testing::writeText;

TEST(PrefsTest, ValuesSurviveARestartBadFilesReadAsEmptyUnwritableOnesKeepThem) {
  TempDir dir;
  const auto file = dir / "config/quillstone/settings.json";
  {
    Prefs prefs(file);
    EXPECT_FALSE(prefs.get("previewFormat"));
    EXPECT_TRUE(prefs.set("previewFormat", 2));
    EXPECT_TRUE(prefs.set("openWindows", json::array{"a", "b"}));
    EXPECT_TRUE(prefs.set("claudeOnMac", true));
    EXPECT_TRUE(prefs.remove("claudeOnMac"));
  }
  Prefs again(file);
  EXPECT_EQ(again.getInteger("previewFormat"), 2);
  EXPECT_EQ(*again.get("openWindows"), (json::array{"a", "b"}));
  EXPECT_FALSE(again.get("claudeOnMac"));
  EXPECT_NE(readText(file).find("\"previewFormat\" : 2"), std::string::npos);

  writeText(file, "[not, an object");
  Prefs broken(file);
  EXPECT_FALSE(broken.get("previewFormat"));
  EXPECT_TRUE(broken.set("previewFormat", 2.0));
  EXPECT_EQ(broken.getInteger("previewFormat"), 2);
  EXPECT_TRUE(broken.set("previewFormat", 2.5));
  EXPECT_FALSE(broken.getInteger("previewFormat"));

  // A file that can't be written keeps the value for this run.
  Prefs unwritable(file / "settings.json");
  EXPECT_FALSE(unwritable.set("k", "v"));
  EXPECT_EQ(*unwritable.get("k"), "v");
}

}  // namespace
}  // namespace qs
