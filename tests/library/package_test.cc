#include "library/package.h"

#include <gtest/gtest.h>

#include "core/text.h"
#include "support/library_fixture.h"
#include "support/temp_dir.h"

namespace qs::library {
namespace {

using qs::testing::imageURL;
using qs::testing::namesIn;
using qs::testing::object;
using qs::testing::readText;
using qs::testing::writeText;

json::object titled(std::string_view title) {
  return {{"id", "d1"}, {"title", title}};
}

json::object recordOf(const json::object& doc) {
  return {{"id", doc.at("id")}, {"rev", 3}, {"updated", 1700000000000}};
}

// Control characters are unsafe like "/"; an empty title falls back to the first words; a long
// one is cut to 80 characters, then trimmed. Free names count up and never collide with their
// own package.
TEST(PackageTest, TitlesBecomeSafeFreeFileNames) {
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
  qs::testing::TempDir dir;
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

// Links another program put inside a package: nothing is read, written or deleted through them.
TEST(PackageTest, LinksInsideAPackageAreNeverFollowed) {
  qs::testing::TempDir dir;
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

  // "QuickLook" is a link and "preview.md" a folder: the document is still saved, the previews
  // are told as failed, and nothing is written over there.
  const fs::path other = dir / "Other.quillstone";
  writeText(other / "preview.md/inside", "a folder now");
  fs::create_directory_symlink(outside, other / "QuickLook");
  std::vector<std::string> failed;
  WriteHooks hooks;
  hooks.secondary_failed = [&](const fs::path& file, auto) { failed.push_back(file.filename()); };
  EXPECT_TRUE(writePackage(other, recordOf(titled("Other")), titled("Other"), hooks));
  EXPECT_EQ(readRecord(other)->at("doc").at("title"), "Other");
  EXPECT_EQ(failed, (std::vector<std::string>{"preview.md", "QuickLook"}));
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

}  // namespace
}  // namespace qs::library
