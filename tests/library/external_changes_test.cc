#include <gtest/gtest.h>

#include "library/library.h"
#include "support/library_fixture.h"

namespace qs::library {
namespace {

using qs::testing::doc;
using qs::testing::record;
using qs::testing::writeText;

class ExternalChangesTest : public qs::testing::LibraryFixture {
 protected:
  Library lib_{root(), support(), {}};
};

TEST_F(ExternalChangesTest, TheAppsOwnSavesMovesAndTouchesReportNothing) {
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(lib_.write(record(doc("d" + std::to_string(i), "Doc " + std::to_string(i)), 3)));
  EXPECT_TRUE(lib_.externalChanges().empty());
  const auto cost = lib_.lastCheckCost();  // an unchanged folder reads nothing
  EXPECT_EQ(cost.identities_read + cost.hashed + cost.records_read, 0u);

  // Touched without a change: hashed, not reported, and the new date is remembered.
  const fs::path file = root() / "Doc 1.quillstone/document.json";
  fs::last_write_time(file, fs::last_write_time(file) + std::chrono::hours(1));
  for (std::size_t hashed : {1u, 0u}) {
    EXPECT_TRUE(lib_.externalChanges().empty());
    EXPECT_EQ(lib_.lastCheckCost().hashed, hashed);
  }
  EXPECT_EQ(lib_.seen("d1")->date, fs::last_write_time(file));

  // Renamed in the file manager: nothing to report, the ledger follows.
  fs::rename(root() / "Doc 2.quillstone", root() / "Renamed.quillstone");
  EXPECT_TRUE(lib_.externalChanges().empty());
  EXPECT_EQ(lib_.ledger().at("d2"), (root() / "Renamed.quillstone").string());
  EXPECT_EQ(lib_.url("d2"), root() / "Renamed.quillstone");
}

TEST_F(ExternalChangesTest,
       OutsideVersionsAreNewerThanAnythingHandedOutAndRemovalsAreReportedOnce) {
  ASSERT_TRUE(lib_.write(record(doc("d", "Notes"), 5)));
  // A copy from another computer with a lower revision, then a new document with a high one.
  bringIn(root() / "Notes.quillstone", doc("d", "Notes", {}, "changed elsewhere"), 2);
  auto records = lib_.externalChanges();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("rev"), 6);
  EXPECT_EQ(records[0].at("doc").at("nodes").at(0).at("text"), "changed elsewhere");
  EXPECT_TRUE(lib_.externalChanges().empty());  // reported once
  bringIn(root() / "New.quillstone", doc("n", "New"), 40);
  records = lib_.externalChanges();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("rev"), 40);

  // Removals are reported once, and only when really gone.
  ASSERT_TRUE(lib_.write(record(doc("a", "A"), 1)));
  ASSERT_TRUE(lib_.write(record(doc("b", "B"), 7)));
  fs::remove_all(root() / "A.quillstone");
  records = lib_.externalChanges();
  ASSERT_EQ(records.size(), 1u);
  const auto updated = records[0].at("updated");
  EXPECT_EQ(records[0], json::value(json::object{{"id", "a"},
                                                 {"rev", 2},
                                                 {"updated", updated},
                                                 {"deleted", true},
                                                 {"deletedAt", updated}}));
  EXPECT_TRUE(lib_.externalChanges().empty());

  // Replaced by its sync placeholder: not downloaded, not deleted.
  fs::remove_all(root() / "B.quillstone");
  writeText(root() / ".B.quillstone.icloud", "");
  EXPECT_TRUE(lib_.externalChanges().empty());

  // A writing folder that can't be listed (an unmounted drive) reports no removals at all.
  fs::rename(root(), dir_ / "Unmounted");
  EXPECT_TRUE(lib_.externalChanges().empty());
  fs::rename(dir_ / "Unmounted", root());
  EXPECT_TRUE(lib_.externalChanges().empty());
}

}  // namespace
}  // namespace qs::library
