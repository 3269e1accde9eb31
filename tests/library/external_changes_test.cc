#include <gtest/gtest.h>

#include "library/library.h"
#include "support/library_fixture.h"

namespace qs::library {
namespace {

using qs::testing::doc;
using qs::testing::idsOf;
using qs::testing::readText;
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

// What sync tools do to a folder must neither lose nor invent documents. (Their own files and
// conflict copies of packages: the sync versions' and the library's tests.)
TEST_F(ExternalChangesTest, SyncToolsPartialAndTemporaryFiles) {
  ASSERT_TRUE(lib_.write(record(doc("d", "Notes"), 1)));
  // A package arriving file by file: "document.json" growing a byte at a time.
  const fs::path staged = dir_ / "staged";
  ASSERT_TRUE(writePackage(staged, json::object{{"rev", 1}}, doc("g", "Growing")));
  const std::string full = readText(staged / "document.json");
  fs::create_directories(root() / "Growing.quillstone");
  for (std::size_t n = 1; n < full.size(); n += full.size() / 7 + 1) {
    writeText(root() / "Growing.quillstone/document.json", full.substr(0, n));
    EXPECT_TRUE(lib_.externalChanges().empty()) << n << " bytes";
  }
  writeText(root() / "Growing.quillstone/document.json", full);
  EXPECT_EQ(idsOf(lib_.externalChanges()), std::vector<std::string>{"g"});

  // A temporary file renamed over "document.json"; alone, it is nothing.
  ASSERT_TRUE(writePackage(staged, json::object{{"rev", 1}}, doc("d", "Notes", {}, "synced")));
  const fs::path temporary = root() / "Notes.quillstone/.syncthing.document.json.tmp";
  writeText(temporary, readText(staged / "document.json"));
  EXPECT_TRUE(lib_.externalChanges().empty());
  fs::rename(temporary, root() / "Notes.quillstone/document.json");
  EXPECT_EQ(idsOf(lib_.externalChanges()), std::vector<std::string>{"d"});
}

// A sync tool brings "document.json" before the images it references: the document comes first
// with the reference, then again with the picture once its file is there.
TEST_F(ExternalChangesTest, AnImageArrivingAfterItsDocumentIsDelivered) {
  const std::string url = qs::testing::imageURL();
  bringIn(root() / "Picture.quillstone", doc("p", "Picture", {}, url));
  const fs::path file = fs::directory_iterator(root() / "Picture.quillstone/images")->path();
  fs::rename(file, dir_ / "later");
  auto records = lib_.externalChanges();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(std::string_view(records[0].at("doc").at("nodes").at(0).at("text").as_string())
                  .starts_with("quillstone-image:"));
  // The app saves what the page has (the reference) before the file arrives.
  auto partial = records[0].at("doc").as_object();
  ASSERT_TRUE(lib_.write(record(partial, 2)));
  EXPECT_TRUE(lib_.externalChanges().empty());
  fs::rename(dir_ / "later", file);
  records = lib_.externalChanges();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("doc").at("nodes").at(0).at("text"), json::value(url));
  EXPECT_EQ(records[0].at("rev"), 3);
  EXPECT_TRUE(lib_.externalChanges().empty());
  ASSERT_TRUE(lib_.write(record(partial, 4)));
  EXPECT_TRUE(fs::exists(file));
}

TEST_F(ExternalChangesTest, AThousandPackagesArrivingAtOnceAreReadOnce) {
  // Only "document.json": a sync tool brings the files one by one, previews later.
  for (int i = 0; i < 1000; ++i) {
    const std::string id = "p" + std::to_string(i);
    qs::testing::putDocument(dir_ / "arriving" / (id + ".quillstone"), id, id);
  }
  for (const auto& e : fs::directory_iterator(dir_ / "arriving"))
    fs::rename(e.path(), root() / e.path().filename());
  EXPECT_EQ(lib_.externalChanges().size(), 1000u);
  EXPECT_TRUE(lib_.externalChanges().empty());
  EXPECT_EQ(lib_.lastCheckCost().identities_read, 0u);
}

}  // namespace
}  // namespace qs::library
