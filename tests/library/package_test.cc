#include "library/package.h"

#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/text.h"
#include "preview/preview.h"
#include "support/documents.h"
#include "support/temp_dir.h"

namespace qs::library {
namespace {

using qs::testing::imageURL;
using qs::testing::namesIn;
using qs::testing::object;
using qs::testing::readText;
using qs::testing::writeText;

json::object titled(std::string_view title, std::string_view id = "d1") {
  return {{"id", id}, {"title", title}};
}

json::object recordOf(const json::object& doc, std::int64_t rev = 3) {
  return {{"id", doc.at("id")}, {"rev", rev}, {"updated", 1700000000000}};
}

class PackageTest : public ::testing::Test {
 protected:
  qs::testing::TempDir dir;
};

// Control characters are unsafe like "/"; an empty title falls back to the first words; a long
// one is cut to 80 characters, then trimmed. Free names count up and never collide with their
// own package.
TEST_F(PackageTest, TitlesBecomeSafeFreeFileNames) {
  const std::pair<json::object, std::string> cases[] = {
      {titled("  Notes \n"), "Notes"},
      {titled("Plans: 2025/26"), "Plans \u2013 2025-26"},
      {titled("a:b"), "a-b"},
      {titled(".hidden"), "_hidden"},
      {titled("Line one\nLine\ttwo\x7f\xc2\x85"
              "end"),
       "Line one-Line-two--end"},
      {titled("   "), "Untitled"},
      {json::object{}, "Untitled"},
      {json::object{{"title", 42}}, "Untitled"},
      {object(R"({"id":"x","title":" ","nodes":[{"text":""},
          {"content":[{"text":"\u2026Hello, "},{"text":"world!"}]}]})"),
       "Hello, world"},
      {object(R"({"nodes":[{"text":"!!! ..."}]})"), "Untitled"},
      {titled(std::string(79, 'a') + " " + std::string(20, 'b')), std::string(79, 'a')},
      // Line and paragraph separators and bidirectional controls, like control characters.
      {titled("A \u2028 line\u2029\u202eevil\u2066x\u200f"), "A - line--evil-x-"},
      // A version's suffix is never cut through: the title before it is.
      {titled(std::string(90, 'a') + " (version from 2026-12-07 15:30)"),
       std::string(48, 'a') + " (version from 2026-12-07 15-30)"},
  };
  for (const auto& [doc, name] : cases) EXPECT_EQ(fileName(doc), name);
  std::string accents, emoji;  // every tenth accent is two code points
  for (int i = 0; i < 100; ++i) {
    accents += i % 10 ? "x" : "e\xcc\x81";
    emoji += "\xf0\x9f\x93\x9d";
  }
  EXPECT_EQ(text::graphemeCount(fileName(titled(accents))), 80u);
  // 80 emoji are 320 bytes: the name must still fit a Linux file name with room for " n".
  const std::string name = fileName(titled(emoji));
  EXPECT_LE(name.size() + std::string(" 99999.quillstone").size(), 255u);
  EXPECT_TRUE(text::isValidUTF8(name));
  EXPECT_TRUE(writePackage(freeURL(dir.path(), name), recordOf(titled(emoji)), titled(emoji)));

  EXPECT_EQ(freeURL(dir.path(), "Notes"), dir / "Notes.quillstone");
  fs::create_directory(dir / "Notes.quillstone");
  fs::create_directory(dir / "Notes 2.quillstone");
  EXPECT_EQ(freeURL(dir.path(), "Notes"), dir / "Notes 3.quillstone");
  EXPECT_EQ(freeURL(dir.path(), "Notes", dir / "Notes 2.quillstone"), dir / "Notes 2.quillstone");
  EXPECT_EQ(freeURL(dir.path(), "Notes", dir / "./Notes 2.quillstone"), dir / "Notes 2.quillstone");
  writeText(dir / "Notes 3.quillstone", "a plain file takes the name too");
  EXPECT_EQ(freeURL(dir.path(), "Notes"), dir / "Notes 4.quillstone");
}

TEST_F(PackageTest, EnvelopeMembersRecordDefaultsAndTheReasonsAPackageIsUnusable) {
  const fs::path pkg = dir / "A.quillstone";
  writeText(pkg / "document.json",
            R"({"format":"quillstone/document","doc":{"id":"a","updated":5},
                 "record":{"rev":"seven","updated":9}})");
  auto r = readRecord(pkg);
  ASSERT_TRUE(r);
  // The rev is copied as it is; the doc's `updated` wins.
  EXPECT_EQ(*r, object(R"({"id":"a","rev":"seven","updated":5,"deleted":false,"deletedAt":null,
                            "doc":{"id":"a","updated":5}})"));
  writeText(pkg / "document.json", R"({"format":"quillstone/document","doc":{"id":"a"}})");
  const auto before = clock::nowMs();
  EXPECT_EQ(readRecord(pkg)->at("rev"), 1);
  EXPECT_GE(readRecord(pkg)->at("updated").as_int64(), before);

  writeText(pkg / "document.json", R"({"format":"other","doc":{"id":"a"}})");
  EXPECT_FALSE(readRecord(pkg));
  EXPECT_EQ(*readIDOrReason(pkg).id, "a");  // the identity read ignores the format

  EXPECT_EQ(readIDOrReason(dir / "missing.quillstone").reason, "Couldn't be read.");
  for (const char* text : {"not json", "[1]", R"({"doc":[]})", R"({"doc":{"id":7}})",
                           R"({"format":"quillstone/document","doc":{"id":null}})"}) {
    writeText(pkg / "document.json", text);
    EXPECT_EQ(readIDOrReason(pkg).reason, "Isn't a document the app can read.") << text;
    EXPECT_FALSE(readIDOrReason(pkg).id || readRecord(pkg)) << text;
  }
}

TEST_F(PackageTest, WritesEveryFileAndReadsBackTheSameDocument) {
  auto doc = object(R"({"id":"d1","title":"Trip/Plan","updated":7,
      "nodes":[{"id":"n1","text":"Hello there"},{"id":"n2","image":")" +
                    imageURL() + R"("}]})");
  const fs::path pkg = dir / "Trip-Plan.quillstone";
  ASSERT_TRUE(writePackage(pkg, recordOf(doc), doc));
  EXPECT_EQ(qs::testing::tree(pkg).size(), 7u);  // document.json, images/, preview.md, QuickLook/
  // Keys sorted, slashes as they are; the stored doc holds a reference, the read doc the data URL.
  const std::string text = readText(pkg / "document.json");
  EXPECT_NE(text.find("\"Trip/Plan\""), std::string::npos);
  EXPECT_LT(text.find("\"app\""), text.find("\"doc\""));
  auto envelope = json::parse(text)->as_object();
  EXPECT_TRUE(std::string_view(envelope.at("doc").at("nodes").at(1).at("image").as_string())
                  .starts_with("quillstone-image:images/"));
  EXPECT_EQ(envelope.at("record").at("rev"), 3);
  envelope.erase("doc");
  envelope.erase("record");
  EXPECT_EQ(envelope, object(R"({"format":"quillstone/document","schema":3,"version":1,"app":")" +
                             appSignature() + R"("})"));
  EXPECT_EQ(readRecord(pkg)->at("doc"), doc);
  EXPECT_NE(readText(pkg / "preview.md").find("# Trip/Plan"), std::string::npos);
  EXPECT_NE(readText(pkg / "QuickLook/Preview.html").find("<h1>Trip/Plan</h1>"), std::string::npos);

  // Without images now: the images folder goes. An empty record takes its defaults.
  doc["nodes"].as_array().pop_back();
  ASSERT_TRUE(writePackage(pkg, json::object{}, doc));
  EXPECT_FALSE(fs::exists(pkg / "images"));
  EXPECT_EQ(json::parse(readText(pkg / "document.json"))->at("record"),
            object(R"({"rev":1,"updated":7})"));
  doc.erase("updated");
  ASSERT_TRUE(writePackage(pkg, json::object{}, doc));
  const std::string written = readText(pkg / "document.json");
  EXPECT_EQ(json::parse(written)->at("record").at("updated"), 0);

  // A doc that can't be written as JSON fails without touching the package; so does a file
  // where the package's folder should be.
  doc["nan"] = std::nan("");
  EXPECT_FALSE(writePackage(pkg, recordOf(doc), doc));
  EXPECT_EQ(readText(pkg / "document.json"), written);
  writeText(dir / "file.quillstone", "a file where the folder should be");
  EXPECT_FALSE(writePackage(dir / "file.quillstone", recordOf(titled("A")), titled("A")));
}

// The thumbnail is drawn again exactly when what it shows changed or the file there can't be
// trusted; what it draws is the bytes a fresh drawing gives.
TEST_F(PackageTest, TheThumbnailIsDrawnExactlyWhenWhatItShowsChanged) {
  ManualEventLoop loop;
  int icons = 0;
  WriteHooks hooks;
  hooks.main_loop = &loop;
  hooks.set_icon = [&](const fs::path&, const fs::path&) { ++icons; };
  auto doc = titled("Same");
  doc["nodes"] = json::array(12, json::object{{"text", "Shown"}});
  const fs::path pkg = dir / "Same.quillstone";
  const auto thumbnail = pkg / "QuickLook/Thumbnail.png";
  const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(1);
  // Writes `d` and says whether the thumbnail was written, checking it against a fresh drawing.
  auto drawn = [&](const json::object& d) {
    fs::last_write_time(thumbnail, old_time);
    EXPECT_TRUE(writePackage(pkg, recordOf(d), d, hooks));
    loop.runPending();
    EXPECT_EQ(readText(thumbnail), Preview(d).thumbnailPNG(512).value());
    return fs::last_write_time(thumbnail) != old_time;
  };
  ASSERT_TRUE(writePackage(pkg, recordOf(doc), doc, hooks));
  loop.runPending();
  EXPECT_EQ(icons, 1);

  EXPECT_FALSE(drawn(doc));
  doc["updated"] = 1800000000000;  // not shown
  doc["nodes"].as_array().push_back(json::object{{"text", "Thirteenth, never shown"}});
  doc["nodes"].as_array()[0] = json::object{
      {"content", json::array{json::object{{"text", "Shown"}, {"marks", json::array{"bold"}}}}}};
  EXPECT_FALSE(drawn(doc));
  EXPECT_EQ(icons, 1);

  doc["title"] = "Changed";
  EXPECT_TRUE(drawn(doc));
  doc["nodes"].as_array()[11] = json::object{{"text", "Shown too"}};
  EXPECT_TRUE(drawn(doc));
  EXPECT_EQ(icons, 3);

  const std::string current = readText(thumbnail);
  for (const std::string& foreign :
       {current.substr(0, current.size() - 1), current.substr(0, 100), std::string("junk")}) {
    writeText(thumbnail, foreign);
    EXPECT_TRUE(drawn(doc));
  }
  EXPECT_EQ(icons, 6);
}

// Links another program put inside a package: nothing is read, written or deleted through them.
TEST_F(PackageTest, LinksInsideAPackageAreNeverFollowed) {
  const fs::path outside = dir / "outside";
  writeText(outside / "keep.png", "someone else's file");
  writeText(outside / "secret", "private key");
  const std::vector<std::string> outside_before = namesIn(outside);
  auto doc = object(R"({"id":"d1","title":"Doc","nodes":[{"image":")" + imageURL() + R"("}]})");

  // "images" is a link: left alone, the image stays inline and nothing is pruned over there.
  const fs::path pkg = dir / "Doc.quillstone";
  fs::create_directories(pkg);
  fs::create_directory_symlink(outside, pkg / "images");
  ASSERT_TRUE(writePackage(pkg, recordOf(doc), doc));
  ASSERT_TRUE(writePackage(pkg, recordOf(titled("No images")), titled("No images")));
  EXPECT_TRUE(fs::is_symlink(pkg / "images"));
  EXPECT_EQ(namesIn(outside), outside_before);
  ASSERT_TRUE(writePackage(pkg, recordOf(doc), doc));
  EXPECT_EQ(readRecord(pkg)->at("doc"), json::value(doc));

  // "QuickLook" is a link: the document is still saved, and nothing is written over there.
  const fs::path other = dir / "Other.quillstone";
  fs::create_directories(other);
  fs::create_directory_symlink(outside, other / "QuickLook");
  (void)writePackage(other, recordOf(titled("Other")), titled("Other"));
  EXPECT_EQ(namesIn(outside), outside_before);

  // A link inside a real "images" folder reads as a missing image; a linked "document.json"
  // as an unreadable document.
  const fs::path third = dir / "Third.quillstone";
  writeText(third / "document.json",
            R"({"format":"quillstone/document","doc":{"id":"t","nodes":[{"image":)"
            R"("quillstone-image:images/a.png#image/png;base64"}]}})");
  fs::create_directories(third / "images");
  fs::create_symlink(outside / "secret", third / "images/a.png");
  EXPECT_EQ(readRecord(third)->at("doc").at("nodes").at(0).at("image"),
            "quillstone-image:images/a.png#image/png;base64");
  const fs::path fourth = dir / "Fourth.quillstone";
  fs::create_directories(fourth);
  fs::create_symlink(third / "document.json", fourth / "document.json");
  EXPECT_FALSE(readRecord(fourth));
  EXPECT_EQ(readIDOrReason(fourth).reason, "Couldn't be read.");
  EXPECT_EQ(readText(outside / "secret"), "private key");
}

// A preview that can't be written never stops the document from being saved.
TEST_F(PackageTest, SecondaryFilesNeverStopTheDocument) {
  const fs::path pkg = dir / "Doc.quillstone";
  auto doc = titled("First");
  ASSERT_TRUE(writePackage(pkg, recordOf(doc), doc));
  fs::remove(pkg / "preview.md");
  writeText(pkg / "preview.md/inside", "a folder now");
  fs::remove_all(pkg / "QuickLook");
  writeText(pkg / "QuickLook", "a file now");
  std::vector<std::string> failed;
  WriteHooks hooks;
  hooks.secondary_failed = [&](const fs::path& file, std::string_view) {
    failed.push_back(file.filename());
  };
  doc["title"] = "Second";
  ASSERT_TRUE(writePackage(pkg, recordOf(doc, 4), doc, hooks));
  EXPECT_EQ(readRecord(pkg)->at("doc").at("title"), "Second");
  EXPECT_EQ(failed, (std::vector<std::string>{"preview.md", "QuickLook"}));
}

TEST(PackageNamesTest, SpokenNameAndSupportFolder) {
  EXPECT_EQ(spokenName("/home/ann/Documents/Quillstone"), "Documents \u2192 Quillstone");
  EXPECT_EQ(spokenName("/home/ann/Documents/Quillstone/"), "Documents \u2192 Quillstone");
  setenv("QUILLSTONE_SUPPORT", "/tmp/qs-support-test", 1);
  EXPECT_EQ(supportURL(), fs::path("/tmp/qs-support-test"));
  unsetenv("QUILLSTONE_SUPPORT");
  setenv("XDG_DATA_HOME", "/tmp/xdg-data", 1);
  EXPECT_EQ(supportURL().filename(), "quillstone");
}

}  // namespace
}  // namespace qs::library
