// What sync tools set aside in a shared writing folder stays in view: version files inside
// packages, second packages holding one document, text put in place just before a save, and the
// pictures of each. Every case runs on real folders, as a sync tool leaves them.
#include <gtest/gtest.h>

#include "core/digest.h"
#include "library/library.h"
#include "library/sync_names.h"
#include "library/versions.h"
#include "support/library_fixture.h"

namespace qs::library {
namespace {

using qs::testing::doc;
using qs::testing::imageURL;
using qs::testing::namesIn;
using qs::testing::readText;
using qs::testing::record;
using qs::testing::writeText;
using Names = std::vector<std::string>;

TEST(SyncNamesTest, EveryToolsCopiesAndOwnFilesAreKnown) {
  // Name, then what it sets aside, when and by which tool ("" where it is no copy).
  const std::array<std::string_view, 4> cases[] = {
      {"document.sync-conflict-20261207-153012-ABCDEFG.json", "document.json", "2026-12-07 15:30",
       "Syncthing"},
      {"document (Ann's conflicted copy 2026-12-07 (1)).json", "document.json", "2026-12-07",
       "Dropbox"},
      {"document (conflicted copy 2026-12-07 153012).json", "document.json", "2026-12-07 15:30",
       "Nextcloud"},
      {"document_conflict-20261207-153012.json", "document.json", "2026-12-07 15:30", "ownCloud"},
      {"document (SFConflict ann@example.com 2026-12-07-15-30-12).json", "document.json",
       "2026-12-07 15:30", "Seafile"},
      {"preview.sync-conflict-20261207-153012-ABCDEFG.md", "preview.md", "2026-12-07 15:30",
       "Syncthing"},
      {"Notes (conflicted copy 2026-12-07).quillstone", "Notes.quillstone", "2026-12-07",
       "Dropbox"},
      {"document 2.json", "", "", ""},
      {"document.sync-conflict-2026-ABCDEFG.json", "", "", ""},
  };
  for (const auto& [name, original, when, tool] : cases) {
    const auto parsed = parseSetAsideName(name);
    const Names got =
        parsed ? Names{parsed->original, parsed->when, std::string(parsed->tool)} : Names(3);
    EXPECT_EQ(got, (Names{std::string(original), std::string(when), std::string(tool)})) << name;
    EXPECT_EQ(parseVersionFileName(name).has_value(), original == "document.json") << name;
  }
  for (std::string_view own :
       {".stfolder", ".stignore", ".syncthing.document.json.tmp", "~syncthing~a.png.tmp",
        ".dropbox.cache", ".~lock.document.json#", "document.json.part", ".sync_1a2b.db-wal"})
    EXPECT_TRUE(isSyncToolFile(own)) << own;
  for (std::string_view other : {"document.json", "images", ".quillstone", "Notes.quillstone"})
    EXPECT_FALSE(isSyncToolFile(other)) << other;
  EXPECT_TRUE(isSyncToolPath("/w/Notes.quillstone/images/.syncthing.a.png.tmp", "/w"));
  EXPECT_FALSE(isSyncToolPath("/w/Notes.quillstone/document.json", "/w"));
  EXPECT_TRUE(isConflictCopyName("Notes (copy).quillstone"));
  EXPECT_FALSE(isConflictCopyName("Notes 2.quillstone"));
}

TEST(VersionRulesTest, IdsTitlesAndNamesComeFromTheSharedFilesAlone) {
  // "v" and 32 hex digits of SHA-256(original id, NUL, the doc's compact text).
  const std::string text = R"({"id":"d","title":"Notes"})";
  const auto digest = digest::sha256(std::string("d") + '\0' + text);
  EXPECT_EQ(versionId("d", text), "v" + digest::hex(digest.data(), 16));
  EXPECT_EQ(utcMinute(1700000000000), "2023-11-14 22:13");
  EXPECT_EQ(utcMinute(1e300), "1970-01-01 00:00");
  EXPECT_EQ(
      versionTitle(json::object{{"title", "Notes (version from 2026-12-01 10:00)"}}, "2026-12-07"),
      "Notes (version from 2026-12-07)");
  EXPECT_EQ(versionTitle({}, "2026-12-07 15:30"), "Untitled (version from 2026-12-07 15:30)");
  EXPECT_TRUE(sameButUpdated(doc("d", "T"), doc("d", "T", {{"updated", 2}})));
  EXPECT_FALSE(sameButUpdated(doc("d", "T", {{"updated", 1}}), doc("d", "U", {{"updated", 1}})));
  // The newer doc keeps the id, then the higher rev, then the name first in byte order.
  EXPECT_TRUE(keepsTheID({2, 1}, "B", {1, 9}, "A"));
  EXPECT_TRUE(keepsTheID({1, 2}, "B", {1, 1}, "A"));
  EXPECT_TRUE(keepsTheID({1, 1}, "A", {1, 1}, "B"));
  EXPECT_FALSE(keepsTheID({1, 1}, "B", {1, 1}, "A"));
  const json::object long_title{{"title", std::string(10'000, 'x') + " (version from 2026-12-07)"}};
  const std::string name = madeHereName(long_title, "v0123");
  EXPECT_LE(name.size() + std::string(".quillstone").size(), 255u);
  EXPECT_TRUE(isMadeHereName(name, long_title, "v0123")) << name;
}

class SyncVersionsTest : public qs::testing::LibraryFixture {
 protected:
  // A version of the document in "Notes.quillstone" that a sync tool set aside there as `file`.
  fs::path putVersion(const std::string& file, const json::object& d) {
    const fs::path path = root() / "Notes.quillstone" / file;
    json::object envelope = qs::testing::object(R"({"app":"Quillstone for Linux 0.1.0",
        "format":"quillstone/document","record":{"rev":4,"updated":1700000000000},"schema":3,
        "version":1})");
    envelope["doc"] = d;
    writeText(path, *json::pretty(envelope));
    return path;
  }
  // The id of a version whose doc, as the file holds it (keys sorted), is `d`.
  static std::string versionOf(std::string_view id, const json::object& d) {
    return versionId(id, json::compact(*json::parse(*json::pretty(d))).value());
  }
  // `d` put in place of the package's "document.json", as a sync tool delivers it.
  void deliver(const fs::path& package, const json::object& d) {
    ASSERT_TRUE(writePackage(dir_ / "staged.quillstone", json::object{}, d));
    fs::rename(dir_ / "staged.quillstone/document.json", package / "document.json");
  }
};

// A version file with the document's id is brought in once, titled with the time its name gives;
// one with another id gets its own package with its record as it is; one the same but for
// `updated` is not brought in. Each file then goes to the Trash.
TEST_F(SyncVersionsTest, VersionFilesAreBroughtInOnce) {
  auto lib = open();
  ASSERT_TRUE(lib->write(record(doc("d", "Notes", {}, "mine"))));
  const auto theirs = doc("d", "Notes", {}, "theirs");
  putVersion("document (conflicted copy 2026-12-09 101500).json", theirs);
  const auto other = doc("u", "Untitled", {{"updated", 5}}, "another document");
  putVersion("document.sync-conflict-20261207-160000-HIJKLMN.json", other);
  putVersion("document (conflicted copy 2026-12-12).json",
             doc("d", "Notes", {{"updated", 99}}, "mine"));

  EXPECT_EQ(lib->rescan().size(), 3u);  // waiting, and only told
  const auto answer = lib->openWorkspace();
  ASSERT_EQ(docs(answer).size(), 3u);
  const json::value* v = find(docs(answer), versionOf("d", theirs));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->at("title").as_string(), "Notes (version from 2026-12-09 10:15)");
  EXPECT_EQ(v->at("nodes"), theirs.at("nodes"));
  ASSERT_TRUE(find(docs(answer), "u"));
  EXPECT_EQ(find(docs(answer), "u")->at("title"), "Untitled");
  EXPECT_EQ(lib->url("u")->filename(), madeHereName(other, "u") + ".quillstone");
  EXPECT_EQ(answer.at("revs").at("u"), 4);
  EXPECT_EQ(answer.at("notices").at(0).at("kind"), "versions");
  EXPECT_EQ(answer.at("notices").at(0).at("count"), 2);
  EXPECT_EQ(std::pair(trash_.names().size(), packagesIn(root()).size()), std::pair(3ul, 3ul));
  // Nothing is brought in twice, and the next "open" tells nothing.
  const auto again = lib->openWorkspace();
  EXPECT_EQ(docs(again).size(), 3u);
  EXPECT_TRUE(again.at("notices").as_array().empty());
  EXPECT_TRUE(lib->rescan().empty());
}

// Files that only look like version files are left where they are and said, never read through
// a link; a title of ten thousand characters is cut before the version's suffix.
TEST_F(SyncVersionsTest, HostileVersionFilesAreLeftAsTheyAre) {
  auto lib = open();
  ASSERT_TRUE(lib->write(record(doc("d", "Notes"))));
  const fs::path package = root() / "Notes.quillstone";
  const std::string base = "document.sync-conflict-20261207-1530";
  fs::create_directory(package / (base + "00-AAAAAAA.json"));
  writeText(dir_ / "outside.json", readText(package / "document.json"));
  fs::create_symlink(dir_ / "outside.json", package / (base + "01-BBBBBBB.json"));
  writeText(package / (base + "02-CCCCCCC.json"), "");
  writeText(package / (base + "03-DDDDDDD.json"), "not json");
  putVersion(base + "04-EEEEEEE.json", doc("not an id", "Notes"));
  putVersion(base + "05-FFFFFFF.json", doc("_reserved", "Notes"));
  const std::string long_title(10'000, 'x');
  putVersion(base + "06-GGGGGGG.json", doc("d", long_title));

  const auto answer = lib->openWorkspace();
  ASSERT_EQ(docs(answer).size(), 2u);
  const auto& kept = docs(answer).at(1);
  EXPECT_EQ(kept.at("title").as_string(), long_title + " (version from 2026-12-07 15:30)");
  const std::string name = lib->url(std::string(kept.at("id").as_string()))->filename();
  EXPECT_LE(name.size(), 255u);
  EXPECT_NE(name.find("(version from 2026-12-07 15-30)"), std::string::npos);
  EXPECT_EQ(answer.at("notices").at(0).at("kind"), "quarantined");
  EXPECT_EQ(answer.at("notices").at(0).at("count"), 6);
  EXPECT_EQ(trash_.names().size(), 1u);
  EXPECT_TRUE(fs::is_symlink(package / (base + "01-BBBBBBB.json")));
  EXPECT_EQ(readText(dir_ / "outside.json"), readText(package / "document.json"));
}

// A package renamed elsewhere arrives before the old one goes: the old one, holding what this
// library last saw, waits a moment, and is kept as a version only if it is still there. (A
// package folder still arriving waits as long: the library's scan test.)
TEST_F(SyncVersionsTest, ArrivalsWaitForTheSyncToolToFinish) {
  auto lib = open();
  ASSERT_TRUE(lib->write(record(doc("d", "Notes", {{"updated", 1}}, "old"))));
  (void)lib->openWorkspace();
  ASSERT_TRUE(writePackage(root() / "Plans.quillstone", json::object{},
                           doc("d", "Plans", {{"updated", 2}}, "renamed elsewhere")));
  EXPECT_EQ(lib->externalChanges().size(), 1u);  // the document, now in its new package
  EXPECT_EQ(lib->url("d"), root() / "Plans.quillstone");
  EXPECT_TRUE(fs::exists(root() / "Notes.quillstone"));
  EXPECT_EQ(lib->recheckIn(), std::chrono::seconds(5));
  now_ += std::chrono::seconds(5);
  const auto kept = lib->externalChanges();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].at("doc").at("title").as_string(), "Notes (version from 1970-01-01 00:00)");
  EXPECT_FALSE(fs::exists(root() / "Notes.quillstone"));
}

// A picture only a version holds, or one a sync tool is still bringing, is never pruned by the
// document's next save; the version's package gets it, and its file goes to the Trash only then.
// Pictures another computer's delete took away while this one edited come back from the Trash.
TEST_F(SyncVersionsTest, PicturesStayWithEveryVersion) {
  auto lib = open();
  ASSERT_TRUE(lib->write(record(doc("d", "Notes", {{"image", imageURL()}}))));
  (void)lib->openWorkspace();
  const fs::path package = root() / "Notes.quillstone";
  const std::string image = namesIn(package / "images").at(0);
  json::object theirs = json::parse(readText(package / "document.json"))->at("doc").as_object();
  theirs["title"] = "Theirs";
  const fs::path file = putVersion("document.sync-conflict-20261207-153012-ABCDEFG.json", theirs);
  writeText(package / "images/.syncthing.b.png.tmp", "a picture on its way");
  ASSERT_TRUE(lib->write(record(doc("d", "Notes", {}, "picture removed"))));
  EXPECT_EQ(namesIn(package / "images"), (Names{".syncthing.b.png.tmp", image}));
  // The picture is away for a moment: the version comes in, its file waits for the picture.
  fs::rename(package / "images" / image, dir_ / image);
  auto changes = lib->externalChanges();
  ASSERT_EQ(changes.size(), 1u);
  const std::string id(changes[0].at("id").as_string());
  EXPECT_TRUE(fs::exists(file));
  fs::rename(dir_ / image, package / "images" / image);
  (void)lib->externalChanges();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(fs::exists(*lib->url(id) / "images" / image));

  // Deleted here, edited there: the edit comes back without the picture, which the Trash has.
  ASSERT_FALSE(lib->write(json::object{{"id", id}, {"deleted", true}}));
  ASSERT_TRUE(writePackage(
      root() / "Back.quillstone", json::object{},
      qs::testing::object(R"({"id":")" + id + R"(","image":"quillstone-image:images/)" + image +
                          R"(#image/png;base64"})")));
  changes = lib->externalChanges();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].at("doc").at("image").as_string(), imageURL());
}

// Text a sync tool put in place since the library last saw the package is kept before a save
// replaces it: the document's own as a version, another document as its own package.
TEST_F(SyncVersionsTest, ASaveNeverReplacesTextPutInPlaceUnseen) {
  auto lib = open();
  ASSERT_TRUE(lib->write(record(doc("d", "Untitled", {{"updated", 1}}, "first"))));
  (void)lib->openWorkspace();
  const fs::path package = root() / "Untitled.quillstone";
  const auto delivered = doc("d", "Untitled", {{"updated", 2}}, "from the other computer");
  deliver(package, delivered);
  ASSERT_TRUE(lib->write(record(doc("d", "Untitled", {{"updated", 3}}, "saved here"))));
  const auto answer = lib->openWorkspace();
  ASSERT_EQ(docs(answer).size(), 2u);
  EXPECT_TRUE(find(docs(answer), versionOf("d", delivered)));

  const auto theirs = doc("t", "Untitled", {{"updated", 4}}, "their new document");
  deliver(package, theirs);
  ASSERT_TRUE(lib->write(record(doc("d", "Untitled", {{"updated", 5}}, "saved again"))));
  EXPECT_EQ(lib->url("t")->filename(), madeHereName(theirs, "t") + ".quillstone");
  EXPECT_EQ(docs(lib->openWorkspace()).size(), 3u);
}

// Names with separators and direction controls: a new title gets a name without them, while a
// package an earlier version named with them keeps its name as long as its title is unchanged.
TEST_F(SyncVersionsTest, ALayoutMarkInATitleRenamesOnlyWhenTheTitleChanges) {
  const std::string title = "A \u2028 line";
  qs::testing::putPackage(root() / (title + ".quillstone"), "d", title);
  auto lib = open();
  EXPECT_EQ(lib->write(record(doc("d", title))), root() / (title + ".quillstone"));
  EXPECT_EQ(lib->write(record(doc("d", "B \u2029 para"))), root() / "B - para.quillstone");
}

}  // namespace
}  // namespace qs::library
