#include "menus/recent_documents.h"

#include <gtest/gtest.h>

#include <set>

namespace qs::menus {
namespace {

namespace fs = std::filesystem;

TEST(RecentDocumentsTest, OpenRecentKeepsExistingPackagesOfTheWritingFolder) {
  const std::set<fs::path> existing{
      "/w/Quillstone/A.quillstone", "/w/Quillstone/Sub/../B.quillstone",
      "/w/Quillstone/B.quillstone", "/w/Quillstone Old/C.quillstone",
      "/w/Quillstone/D.quillstone", "/w/Quillstone/Archive",
      "/w/Quillstone/notes.txt"};
  auto exists = [&](const fs::path& p) { return existing.contains(p); };
  const std::vector<fs::path> recent{"/w/Quillstone/B.quillstone/",
                                     "/w/Quillstone Old/C.quillstone",  // a sibling, not inside
                                     "/w/Quillstone/Gone.quillstone",   // deleted since
                                     "/w/Quillstone/Archive",           // other programs' entries
                                     "/w/Quillstone/notes.txt",
                                     "/w/Quillstone/Sub/../A.quillstone",
                                     "/elsewhere/E.quillstone"};
  const auto entries = openRecentEntries(recent, "/w/Quillstone/", exists);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].title, "B");
  EXPECT_EQ(entries[0].path, fs::path("/w/Quillstone/B.quillstone"));
  EXPECT_EQ(entries[1].title, "A");
  EXPECT_TRUE(openRecentEntries(recent, "/w/Other", exists).empty());
}

TEST(RecentDocumentsTest, TheOpenPanelTakesOnlyPackages) {
  const auto choice = choosePackages(
      {"/w/A.quillstone", "/w/Notes", "/w/B.quillstone/", "/w/C.QUILLSTONE", "/w/.quillstone"});
  EXPECT_EQ(choice.packages, (std::vector<fs::path>{"/w/A.quillstone", "/w/B.quillstone/"}));
  EXPECT_EQ(choice.refused, (std::vector<std::string>{"Notes", "C.QUILLSTONE", ".quillstone"}));
  EXPECT_EQ(refusedMessage({"Notes"}), "\u201cNotes\u201d isn't a Quillstone document.");
  EXPECT_EQ(refusedMessage({"a", "b"}), "2 of the chosen folders aren't Quillstone documents.");
  EXPECT_TRUE(isPackagePath("/x/Draft.quillstone"));
  EXPECT_FALSE(isPackagePath("/x/Draft.txt"));
}

}  // namespace
}  // namespace qs::menus
