#include "library/library.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "core/host_log.h"
#include "support/library_fixture.h"

namespace qs::library {
namespace {

using qs::testing::doc;
using qs::testing::putPackage;
using qs::testing::readText;
using qs::testing::record;
using qs::testing::writeText;
using Names = std::vector<std::string>;

class LibraryTest : public qs::testing::LibraryFixture {
 protected:
  static Names problemNames(const Library& lib) {
    Names out;
    for (const auto& p : lib.problems()) out.push_back(p.name);
    return out;
  }
  // Every "document.json" below `folder` parses, and a library started there finds each of `ids`
  // once and nothing unreadable.
  void expectWhole(const fs::path& folder, const Names& ids) {
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
      const bool document = e.path().filename() == "document.json" && !e.is_symlink();
      EXPECT_TRUE(!document || json::parse(readText(e.path()))) << e.path();
    }
    Library fresh(folder, support(), {});
    std::map<std::string, int> found;
    const auto answer = fresh.openWorkspace();
    for (const auto& d : docs(answer)) ++found[std::string(d.at("id").as_string())];
    for (const auto& id : ids) EXPECT_EQ(found[id], 1) << id;
    for (const auto& p : fresh.problems()) EXPECT_NE(p.reason, "Couldn't be read.") << p.name;
  }
};

TEST_F(LibraryTest, ScanReportsEveryProblemAndOnePackageForAnIdWins) {
  putPackage(root() / "A.quillstone", "same", "A");
  putPackage(root() / "B.quillstone", "same", "B");
  putPackage(root() / "Archive/C.quillstone", "same", "C");
  putPackage(root() / "Archive/Old.quillstone", "old", "Old");
  fs::create_directories(root() / "Empty.quillstone");
  writeText(root() / "Bad.quillstone/document.json", "{\"doc\":[]}");
  writeText(root() / ".Plans.quillstone.icloud", "");
  putPackage(root() / "Sub/Inner.quillstone", "inner");
  putPackage(root() / "Sub/Deeper/Lost.quillstone", "lost");
  writeText(root() / "notes.txt", "not a document");

  auto lib = open();
  EXPECT_EQ(lib->url("same"), root() / "A.quillstone");
  EXPECT_EQ(lib->url("old"), root() / "Archive/Old.quillstone");
  EXPECT_FALSE(lib->url("inner") || lib->url("lost"));
  // A package folder without its "document.json" may be one a sync tool is still bringing in:
  // it is reported once the library has known it for five seconds.
  EXPECT_EQ(problemNames(*lib), (Names{"Plans", "Bad", "Inner", "B", "C"}));
  EXPECT_EQ(lib->recheckIn(), std::chrono::seconds(5));
  now_ += std::chrono::seconds(5);
  const std::string copy_of_a =
      "Holds the same document as \u201cA\u201d, which the app uses; this copy is left as it is.";
  const std::vector<Problem> expected = {
      {"Plans", "Not downloaded from iCloud yet."},
      {"Bad", "Isn't a document the app can read."},
      {"Empty", "Couldn't be read."},
      {"Inner",
       "In the folder \u201cSub\u201d inside the writing folder, where the app doesn't look."},
      {"B", copy_of_a},
      {"C", copy_of_a},
  };
  EXPECT_EQ(lib->rescan(), expected);
  EXPECT_EQ(lib->recheckIn(), std::nullopt);

  auto missing = Library::scan({dir_ / "nowhere"});
  EXPECT_EQ(missing.problems, (std::vector<Problem>{{spokenName(dir_ / "nowhere"),
                                                     "The writing folder couldn't be opened."}}));
}

// A newer workspace isn't opened; a missing or damaged one has no meta. Documents the ledger
// names that are gone are noticed once, when the folder looks empty.
TEST_F(LibraryTest, TheAnswerSaysANewerWorkspaceAndVanishedDocumentsOnce) {
  fs::create_directories(support());
  writeText(support() / "ledger.json",
            "{\"x\":\"" + (root() / "Zed.quillstone").string() + "\",\"y\":\"" +
                (root() / "Archive/Alpha.quillstone").string() + "\",\"_r\":\"" +
                (root() / "R.quillstone").string() + "\",\"o\":\"/elsewhere/O.quillstone\"}");
  auto lib = open();
  auto answer = lib->openWorkspace();
  EXPECT_TRUE(answer.at("meta").is_null());
  const std::string vanished =
      "No longer in the writing folder (moved or deleted outside the app).";
  EXPECT_EQ(answer.at("notices"),
            json::value(json::array{json::object{
                {"kind", "quarantined"},
                {"count", 2},
                {"files", json::array{json::object{{"name", "Alpha"}, {"reason", vanished}},
                                      json::object{{"name", "Zed"}, {"reason", vanished}}}}}}));
  EXPECT_TRUE(lib->openWorkspace().at("notices").as_array().empty());
  EXPECT_EQ(lib->ledger().size(), 2u);  // the reserved and the outside entries stay

  writeText(support() / "workspace.json", R"({"schema":4})");
  EXPECT_EQ(lib->openWorkspace(), qs::testing::object(R"({"kind":"newer","schema":4})"));
  writeText(support() / "workspace.json", "not json");
  EXPECT_TRUE(lib->openWorkspace().at("meta").is_null());
}

TEST_F(LibraryTest, WritesNameMoveAndArchivePackages) {
  auto lib = open();
  auto notes = doc("n1", "Notes");
  ASSERT_EQ(lib->write(record(notes)), root() / "Notes.quillstone");
  ASSERT_TRUE(lib->write(record(doc("other", "Plans"))));
  // A new title moves the package to a free name; the id stays and the ledger follows, and
  // "Plans 2" still counts as named "Plans" on later writes.
  notes["title"] = "Plans";
  EXPECT_EQ(lib->write(record(notes)), root() / "Plans 2.quillstone");
  EXPECT_EQ(lib->write(record(notes, 2)), root() / "Plans 2.quillstone");
  EXPECT_EQ(packagesIn(root()), (Names{"Plans", "Plans 2"}));
  EXPECT_EQ(lib->ledger().at("n1"), (root() / "Plans 2.quillstone").string());
  // Archived and back again.
  notes["archived"] = true;
  EXPECT_EQ(lib->write(record(notes)), root() / "Archive/Plans.quillstone");
  notes["archived"] = false;
  EXPECT_EQ(lib->write(record(notes)), root() / "Plans 2.quillstone");
  EXPECT_TRUE(packagesIn(root() / "Archive").empty());
  // Reserved documents live in the support folder under their id.
  EXPECT_EQ(lib->write(record(doc("_settings", "Anything", {{"archived", true}}))),
            support() / "reserved/_settings.quillstone");
  EXPECT_EQ(lib->seen("n1")->path, (root() / "Plans 2.quillstone").string());

  // Only ordinary and archived documents can be shown in Files.
  ASSERT_TRUE(lib->write(record(doc("b", "B", {{"archived", true}}))));
  EXPECT_EQ(lib->revealablePackage("n1"), root() / "Plans 2.quillstone");
  EXPECT_EQ(lib->revealablePackage("b"), root() / "Archive/B.quillstone");
  for (const char* id : {"_settings", "missing", "../n1"})
    EXPECT_FALSE(lib->revealablePackage(id)) << id;

  // A save that renamed the package and then failed: the index and ledger follow the package to
  // its new name, so the next save neither loses it nor makes a second one.
  notes["title"] = "Renamed";
  notes["broken"] = std::nan("");  // can't be written as JSON: the write fails after the rename
  EXPECT_FALSE(lib->write(record(notes, 3)));
  EXPECT_EQ(readRecord(*lib->url("n1"))->at("doc").at("title"), "Plans");  // as it was
  for (const auto& [id, path] : lib->ledger()) EXPECT_TRUE(fs::exists(path)) << id;
  notes.erase("broken");
  ASSERT_TRUE(lib->write(record(notes, 4)));
  EXPECT_EQ(packagesIn(root()), (Names{"Plans", "Renamed"}));
  expectWhole(root(), {"n1", "other"});
  fs::remove_all(root() / "Renamed.quillstone");
  EXPECT_FALSE(lib->revealablePackage("n1"));

  // A record whose document is another's is refused, and that one stays as it was.
  auto mismatch = record(doc("x", "Mismatch"));
  mismatch["id"] = "other";
  EXPECT_EQ(lib->write(json::array{mismatch}, nullptr, nullptr),
            "Couldn't write \u201cMismatch\u201d to Documents \u2192 Quillstone.");
  EXPECT_EQ(readRecord(*lib->url("other"))->at("doc").at("title"), "Plans");
}

// Copies a sync tool or a file manager made of a package never take the id from the original,
// with or without a ledger, nor bring back a deleted one. Once the writing folder is opened, a
// copy holding other writing is kept as a version of its own, and every copy goes to the Trash.
TEST_F(LibraryTest, ConflictCopiesNeverTakeOverTheOriginal) {
  auto lib = open();
  auto notes = doc("d", "Notes");
  ASSERT_TRUE(lib->write(record(notes)));
  const Names copies = {"Notes (conflicted copy 2026-12-01)",
                        "Notes.sync-conflict-20261201-101010-ABCDEFG", "Notes (copy)"};
  for (const auto& copy : copies) {
    fs::copy(root() / "Notes.quillstone", root() / (copy + ".quillstone"),
             fs::copy_options::recursive);
  }
  notes["nodes"] = json::array{json::object{{"id", "n1"}, {"text", "newer words"}}};
  ASSERT_TRUE(lib->write(record(notes, 2)));

  lib = open();
  EXPECT_EQ(lib->url("d"), root() / "Notes.quillstone");
  auto reported = problemNames(*lib);
  std::sort(reported.begin(), reported.end());
  EXPECT_EQ(reported, (Names{copies[0], copies[2], copies[1]}));
  const auto answer = lib->openWorkspace();
  ASSERT_EQ(docs(answer).size(), 2u);
  EXPECT_EQ(docs(answer)[0].at("nodes").at(0).at("text"), "newer words");
  EXPECT_EQ(docs(answer)[1].at("title"), "Notes (version from 2023-11-14 22:13)");
  EXPECT_EQ(docs(answer)[1].at("nodes").at(0).at("text"), "words");
  EXPECT_EQ(answer.at("notices").at(0).at("kind"), "versions");
  EXPECT_EQ(std::tuple(trash_.names().size(), packagesIn(root()).size(), lib->externalChanges()),
            std::tuple(3u, 2u, json::array{}));
  EXPECT_TRUE(lib->openWorkspace().at("notices").as_array().empty());  // told once

  // A copy alone stands for its document at a start; while the library runs, one left by the
  // document's deletion never brings it back.
  fs::rename(root() / "Notes.quillstone", root() / (copies[0] + ".quillstone"));
  lib = open();
  EXPECT_EQ(lib->url("d"), root() / (copies[0] + ".quillstone"));
  (void)lib->openWorkspace();
  ASSERT_TRUE(lib->write(record(doc("e", "Other"))));
  fs::copy(root() / "Other.quillstone", root() / "Other (conflicted copy 2026-12-07).quillstone",
           fs::copy_options::recursive);
  EXPECT_FALSE(lib->write(json::object{{"id", "e"}, {"rev", 2}, {"deleted", true}}));
  EXPECT_TRUE(lib->externalChanges().empty());
  EXPECT_FALSE(lib->url("e"));
  EXPECT_EQ(lib->rescan().back().reason, kReasonCopyOfGone);
}

// Packages in the writing folder with a reserved or unusable id are reported, ignored, not
// written. A linked writing folder is followed; a linked package or "Archive" below it is
// reported, not read, and never written through.
TEST_F(LibraryTest, ReservedIdsAndLinksInTheWritingFolderAreLeftAlone) {
  ASSERT_TRUE(open()->write(record(doc("_settings", "Mine"))));
  putPackage(root() / "Sneaky.quillstone", "_settings", "Sneaky");
  putPackage(root() / "Archive/Old.quillstone", "_old", "Old");
  putPackage(root() / "Bad.quillstone", "not/an id", "Bad");
  const std::string sneaky = readText(root() / "Sneaky.quillstone/document.json");
  auto lib = open();
  EXPECT_EQ(lib->url("_settings"), support() / "reserved/_settings.quillstone");
  EXPECT_FALSE(lib->url("_old") || lib->url("not/an id"));
  EXPECT_EQ(problemNames(*lib), (Names{"Bad", "Sneaky", "Old"}));
  EXPECT_EQ(lib->allRecords().size(), 1u);
  ASSERT_TRUE(lib->write(record(doc("_settings", "Mine"), 2)));
  EXPECT_EQ(readText(root() / "Sneaky.quillstone/document.json"), sneaky);

  const fs::path real = dir_ / "Synced/Writing";
  fs::create_directories(real);
  fs::create_directory_symlink(real, dir_ / "Linked");
  putPackage(dir_ / "elsewhere/Far.quillstone", "far", "Far");
  putPackage(dir_ / "elsewhere/Archived.quillstone", "arch", "Archived");
  fs::create_directory_symlink(dir_ / "elsewhere/Far.quillstone", real / "Far.quillstone");
  fs::create_directory_symlink(dir_ / "elsewhere", real / "Archive");
  fs::create_directory_symlink(dir_ / "elsewhere", real / "Sub");
  Library linked(dir_ / "Linked", support(), services());
  ASSERT_TRUE(linked.write(record(doc("a", "Here"))));
  EXPECT_TRUE(fs::exists(real / "Here.quillstone/document.json"));
  EXPECT_FALSE(linked.url("far") || linked.url("arch"));
  EXPECT_EQ(problemNames(linked), (Names{"Far", "Archive"}));
  // Archiving would write through the linked "Archive": refused, and nothing moves.
  EXPECT_FALSE(linked.write(record(doc("a", "Here", {{"archived", true}}))));
  EXPECT_TRUE(fs::exists(real / "Here.quillstone/document.json"));
  EXPECT_EQ(packagesIn(dir_ / "elsewhere"), (Names{"Archived", "Far"}));
  EXPECT_TRUE(linked.externalChanges().empty());
  expectWhole(dir_ / "Linked", {"a"});
}

TEST_F(LibraryTest, RepeatedNodeIdsKeepThePreviousDocumentOnce) {
  auto lib = open();
  auto d = doc("r", "Rep");
  ASSERT_TRUE(lib->write(record(d)));
  const std::string first = readText(root() / "Rep.quillstone/document.json");
  d["nodes"] = json::parse(R"([{"id":"n","text":"a"},{"id":"n","text":"b"}])")->as_array();
  for (std::int64_t rev : {2, 3}) {
    ASSERT_TRUE(lib->write(record(d, rev)));
    EXPECT_EQ(readText(root() / "Rep.quillstone/previous.json"), first);
    d["nodes"].as_array().push_back(json::object{{"id", "n"}});
  }
}

// Deleted records go to the Trash; one the Trash can't take stays, and the logs say so.
TEST_F(LibraryTest, DeletedRecordsGoToTheTrashOrSayTheyStayed) {
  ThreadSerialQueue queue("log");
  HostLog log(dir_ / "host-log.txt", queue);
  auto lib = open(&log);
  ASSERT_TRUE(lib->write(record(doc("t", "Bin"))));
  ASSERT_TRUE(lib->write(record(doc("s", "Stays"))));
  EXPECT_FALSE(lib->write(json::object{{"id", "t"}, {"deleted", true}}));
  EXPECT_FALSE(lib->write(json::object{{"id", "unknown"}, {"deleted", true}}));
  EXPECT_EQ(trash_.names(), Names{"0-Bin.quillstone"});
  EXPECT_FALSE(lib->url("t") || lib->seen("t") || lib->ledger().contains("t"));

  trash_.fail = true;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(lib->write(json::object{{"id", "s"}, {"deleted", true}}));
  const std::string system_log = ::testing::internal::GetCapturedStderr();
  queue.sync([] {});
  EXPECT_THAT(system_log,
              ::testing::HasSubstr("Quillstone: couldn't move " +
                                   (root() / "Stays.quillstone").string() + " to the Trash"));
  EXPECT_THAT(readText(dir_ / "host-log.txt"), ::testing::HasSubstr("trash-failed"));
  EXPECT_EQ(packagesIn(root()), Names{"Stays"});
}

TEST_F(LibraryTest, RestorePointsKeepTheTenNewest) {
  auto lib = open();  // both points are taken within one second of its clock, however slow the run
  EXPECT_FALSE(lib->keepRestorePoint(json::object{{"format", "quillstone/document"}}));
  EXPECT_TRUE(lib->keepRestorePoint(json::object{{"format", "quillstone/backup"}, {"n", 0}}));
  const fs::path folder = support() / "restore-points";
  // Stand-ins for older points, named as earlier days would be.
  for (int day = 10; day < 21; ++day) {
    writeText(folder / ("Before restore 2020-01-" + std::to_string(day) + " 10.00.00.json"), "{}");
  }
  writeText(folder / "notes.txt", "other files stay");
  EXPECT_TRUE(lib->keepRestorePoint(json::object{{"format", "quillstone/backup"}, {"n", 1}}));
  const auto kept = qs::testing::namesIn(folder);
  ASSERT_EQ(kept.size(), 11u);
  EXPECT_EQ(kept[0], "Before restore 2020-01-12 10.00.00.json");
  EXPECT_EQ(kept[10], "notes.txt");
  EXPECT_EQ(trash_.names().size(), 2u);
  // The same second gives the same name: the second point replaces the first.
  EXPECT_NE(readText(folder / kept[9]).find("\"n\":1"), std::string::npos);
}

TEST_F(LibraryTest, AdoptingTakesInsidePackagesAndCopiesOutsideOnes) {
  auto lib = open();
  putPackage(root() / "Dropped.quillstone", "dropped");
  EXPECT_EQ(lib->adopt(root() / "Dropped.quillstone"), "dropped");
  EXPECT_EQ(lib->url("dropped"), root() / "Dropped.quillstone");

  putPackage(dir_ / "Downloads/Gift.quillstone", "gift", "Gift");
  EXPECT_EQ(lib->adopt(dir_ / "Downloads/Gift.quillstone"), "gift");
  EXPECT_EQ(lib->url("gift"), root() / "Gift.quillstone");
  // Already in the library: the outside copy is left alone and nothing is written.
  putPackage(dir_ / "Elsewhere/Gift copy.quillstone", "gift", "Changed");
  const auto before = fs::last_write_time(root() / "Gift.quillstone/document.json");
  EXPECT_EQ(lib->adopt(dir_ / "Elsewhere/Gift copy.quillstone"), "gift");
  EXPECT_EQ(fs::last_write_time(root() / "Gift.quillstone/document.json"), before);
  // A sibling folder whose name merely begins like the writing folder's is outside it.
  putPackage(dir_ / "Writing Old/Sib.quillstone", "sib", "Sib");
  EXPECT_EQ(lib->adopt(dir_ / "Writing Old/Sib.quillstone"), "sib");
  EXPECT_EQ(lib->url("sib"), root() / "Sib.quillstone");
  EXPECT_FALSE(lib->adopt(dir_ / "nothing.quillstone"));
}

TEST_F(LibraryTest, PreviewUpkeepRunsOncePerFormatAndKeepsDates) {
  auto lib = open();
  ASSERT_TRUE(lib->write(record(doc("a", "A"))));
  ASSERT_TRUE(lib->write(record(doc("_r", "R"))));
  writeText(root() / "Broken.quillstone/document.json", "{");
  const fs::path page = root() / "A.quillstone/QuickLook/Preview.html";
  const fs::path reserved_page = support() / "reserved/_r.quillstone/QuickLook/Preview.html";
  for (const auto& p : {page, reserved_page}) writeText(p, "stale");
  fs::last_write_time(root() / "A.quillstone", fs::file_time_type());
  EXPECT_EQ(lib->refreshPreviewsIfNeeded(false), 1);
  EXPECT_EQ(prefs_.getInteger("previewFormat"), 2);
  EXPECT_NE(readText(page), "stale");
  EXPECT_EQ(readText(reserved_page), "stale");
  EXPECT_EQ(fs::last_write_time(root() / "A.quillstone"), fs::file_time_type());
  // Stamped: nothing more until forced; a current page is left untouched even then.
  writeText(page, "stale");
  EXPECT_EQ(lib->refreshPreviewsIfNeeded(false), 0);
  EXPECT_EQ(lib->refreshPreviewsIfNeeded(true), 1);
  const auto date = fs::last_write_time(page);
  EXPECT_FALSE(lib->refreshPreview(root() / "A.quillstone"));
  EXPECT_EQ(fs::last_write_time(page), date);
  const auto docs = lib->documents();
  EXPECT_EQ(std::pair(docs.size(), docs.at("a").second), std::pair(2ul, root() / "A.quillstone"));
}

// Two writers on shared and own documents while a third thread opens the workspace lose nothing
// (and, under ThreadSanitizer, race nowhere); new documents of one title from both at once each
// get a package of their own.
TEST_F(LibraryTest, ConcurrentWritersAndReadersLoseNothing) {
  auto lib = open();
  std::atomic<bool> stop{false};
  std::map<std::string, std::string> last[2];  // each writer's own documents
  auto writer = [&](int who) {
    std::mt19937 rng(1234 + who);
    for (int i = 0; i < 60; ++i) {
      // Every sixth a new document, all titled alike; else a shared or an own one, at times
      // renamed.
      const int n = static_cast<int>(rng() % 4);
      const std::string own =
          (i % 6 ? "w" + std::to_string(n) : "t" + std::to_string(i)) + "-" + std::to_string(who);
      const std::string id = i % 6 && !n ? "shared" : own;
      const std::string text = "by " + std::to_string(who) + " #" + std::to_string(i);
      const std::string title = i % 6 ? "Doc " + id + (rng() % 2 ? " renamed" : "") : "Twin";
      EXPECT_TRUE(lib->write(record(doc(id, title, {}, text), i)));
      if (id != "shared") last[who][id] = text;
    }
  };
  std::thread reader([&] {
    while (!stop) EXPECT_TRUE(lib->openWorkspace().at("notices").as_array().empty());
  });
  std::thread a(writer, 0), b(writer, 1);
  a.join();
  b.join();
  stop = true;
  reader.join();
  const auto records = lib->allRecords();
  EXPECT_TRUE(records.contains("shared"));
  EXPECT_TRUE(lib->problems().empty());
  for (const auto& own : last)
    for (const auto& [id, text] : own) {
      ASSERT_TRUE(records.contains(id)) << id;
      EXPECT_EQ(records.at(id).at("doc").at("nodes").at(0).at("text"), json::value(text)) << id;
    }
  for (const auto& [id, r] : records) EXPECT_EQ(readIDOrReason(*lib->url(id)).id, id);
}

}  // namespace
}  // namespace qs::library
