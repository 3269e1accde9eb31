#include <gtest/gtest.h>

#include <thread>

#include "core/file_io.h"
#include "library/library.h"
#include "support/documents.h"
#include "support/temp_dir.h"

namespace qs::library {
namespace {

using qs::testing::doc;
using qs::testing::read_text;
using qs::testing::record;
using qs::testing::TempDir;
using qs::testing::write_text;

class ExternalChangesTest : public ::testing::Test {
 protected:
  ExternalChangesTest() : lib_(dir_ / "Writing", dir_ / "Support", {}) {}
  fs::path root() const { return dir_ / "Writing"; }
  // Another program's copy of a package, written from elsewhere and moved in.
  void bring_in(const fs::path& package, const json::object& d, std::int64_t rev) {
    const fs::path staged = dir_ / "elsewhere" / package.filename();
    fs::remove_all(staged);
    ASSERT_TRUE(writePackage(staged, json::object{{"rev", rev}}, d));
    fs::remove_all(package);
    fs::rename(staged, package);
  }
  std::vector<std::string> ids(const json::array& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.emplace_back(r.at("id").as_string());
    return out;
  }

  TempDir dir_;
  Library lib_;
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
  EXPECT_TRUE(lib_.externalChanges().empty());
  EXPECT_EQ(lib_.lastCheckCost().hashed, 1u);
  EXPECT_EQ(lib_.seen("d1")->date, fs::last_write_time(file));
  EXPECT_TRUE(lib_.externalChanges().empty());
  EXPECT_EQ(lib_.lastCheckCost().hashed, 0u);

  // Renamed in the file manager: nothing to report, the ledger follows.
  fs::rename(root() / "Doc 2.quillstone", root() / "Renamed.quillstone");
  EXPECT_TRUE(lib_.externalChanges().empty());
  EXPECT_EQ(lib_.ledger().at("d2"), (root() / "Renamed.quillstone").string());
  EXPECT_EQ(lib_.url("d2"), root() / "Renamed.quillstone");
}

TEST_F(ExternalChangesTest,
       OutsideVersionsAreNewerThanAnythingHandedOutAndRemovalsAreReportedOnce) {
  ASSERT_TRUE(lib_.write(record(doc("d", "Notes"), 5)));
  // A copy from another computer with a lower revision.
  bring_in(root() / "Notes.quillstone", doc("d", "Notes", {}, "changed elsewhere"), 2);
  auto records = lib_.externalChanges();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("rev"), 6);
  EXPECT_EQ(records[0].at("doc").at("nodes").at(0).at("text"), "changed elsewhere");
  EXPECT_TRUE(lib_.externalChanges().empty());  // reported once

  // A new document arriving with a high revision keeps it.
  bring_in(root() / "New.quillstone", doc("n", "New"), 40);
  records = lib_.externalChanges();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("rev"), 40);

  // Removals are reported once, and only when really gone.
  ASSERT_TRUE(lib_.write(record(doc("a", "A"), 1)));
  ASSERT_TRUE(lib_.write(record(doc("b", "B"), 7)));
  fs::remove_all(root() / "A.quillstone");
  records = lib_.externalChanges();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("id"), "a");
  EXPECT_EQ(records[0].at("deleted"), true);
  EXPECT_EQ(records[0].at("deletedAt"), records[0].at("updated"));
  EXPECT_EQ(records[0].at("rev"), 2);
  EXPECT_FALSE(records[0].as_object().contains("doc"));
  EXPECT_TRUE(lib_.externalChanges().empty());

  // Replaced by its sync placeholder: not downloaded, not deleted.
  fs::remove_all(root() / "B.quillstone");
  write_text(root() / ".B.quillstone.icloud", "");
  EXPECT_TRUE(lib_.externalChanges().empty());

  // A writing folder that can't be listed (an unmounted drive) reports no removals at all.
  fs::rename(root(), dir_ / "Unmounted");
  EXPECT_TRUE(lib_.externalChanges().empty());
  fs::rename(dir_ / "Unmounted", root());
  EXPECT_TRUE(lib_.externalChanges().empty());
}

// What sync tools do to a folder must neither lose nor invent documents.
TEST_F(ExternalChangesTest, SyncToolsPartialFilesTemporaryFilesAndConflictCopies) {
  ASSERT_TRUE(lib_.write(record(doc("d", "Notes"), 1)));
  // A package arriving file by file: "document.json" growing a byte at a time.
  const fs::path staged = dir_ / "staged";
  ASSERT_TRUE(writePackage(staged, json::object{{"rev", 1}}, doc("g", "Growing")));
  const std::string full = read_text(staged / "document.json");
  fs::create_directories(root() / "Growing.quillstone");
  for (std::size_t n = 1; n < full.size(); n += full.size() / 7 + 1) {
    write_text(root() / "Growing.quillstone/document.json", full.substr(0, n));
    EXPECT_TRUE(lib_.externalChanges().empty()) << n << " bytes";
  }
  write_text(root() / "Growing.quillstone/document.json", full);
  EXPECT_EQ(ids(lib_.externalChanges()), std::vector<std::string>{"g"});

  // A temporary file renamed over "document.json".
  ASSERT_TRUE(writePackage(staged, json::object{{"rev", 1}}, doc("d", "Notes", {}, "synced")));
  write_text(root() / "Notes.quillstone/.syncthing.document.json.tmp",
             read_text(staged / "document.json"));
  EXPECT_TRUE(lib_.externalChanges().empty());  // the temporary file alone is nothing
  fs::rename(root() / "Notes.quillstone/.syncthing.document.json.tmp",
             root() / "Notes.quillstone/document.json");
  EXPECT_EQ(ids(lib_.externalChanges()), std::vector<std::string>{"d"});

  // Sync tools' own files and a conflict copy of a package (same id, another name).
  write_text(root() / "~syncthing~Notes.tmp", "x");
  write_text(root() / ".stfolder/marker", "");
  fs::copy(root() / "Notes.quillstone", root() / "Notes.sync-conflict-20261206-0901.quillstone",
           fs::copy_options::recursive);
  EXPECT_TRUE(lib_.externalChanges().empty());
  EXPECT_EQ(lib_.url("d"), root() / "Notes.quillstone");
}

// A sync tool brings "document.json" before the images it references: the document comes first
// with the reference, then again with the picture once its file is there.
TEST_F(ExternalChangesTest, AnImageArrivingAfterItsDocumentIsDelivered) {
  const std::string url = qs::testing::image_url();
  auto d = doc("p", "Picture", {}, url);
  bring_in(root() / "Picture.quillstone", d, 1);
  const fs::path images = root() / "Picture.quillstone/images";
  const fs::path file = fs::directory_iterator(images)->path();
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
  const fs::path arriving = dir_ / "arriving";
  for (int i = 0; i < 1000; ++i) {
    const std::string id = "p" + std::to_string(i);
    // Only "document.json": a sync tool brings the files one by one, previews later.
    write_text(
        arriving / (id + ".quillstone") / "document.json",
        *json::pretty(json::object{{"format", "quillstone/document"}, {"doc", doc(id, id)}}));
  }
  for (const auto& e : fs::directory_iterator(arriving))
    fs::rename(e.path(), root() / e.path().filename());
  auto records = lib_.externalChanges();
  EXPECT_EQ(records.size(), 1000u);
  EXPECT_TRUE(lib_.externalChanges().empty());
  EXPECT_EQ(lib_.lastCheckCost().identities_read, 0u);
}

}  // namespace
}  // namespace qs::library
