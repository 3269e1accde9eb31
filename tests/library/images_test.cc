#include "library/images.h"

#include <gtest/gtest.h>

#include "core/digest.h"
#include "support/temp_dir.h"

namespace qs::images {
namespace {

using qs::testing::readText;
using qs::testing::TempDir;
using qs::testing::writeText;

// A data URL of exactly `length` characters with canonical base64.
std::string dataURL(std::string_view type, std::size_t length, char seed = 'x') {
  const std::string prefix = "data:" + std::string(type) + ";base64,";
  const std::size_t chars = length - prefix.size();
  EXPECT_EQ(chars % 4, 0u) << "no canonical base64 has that length";
  std::string bytes(chars / 4 * 3, seed);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(seed + i % 13);
  return prefix + digest::base64Encode(bytes);
}

TEST(ImagePartsTest, OnlyLargeCanonicalBase64ImagesAreSplit) {
  // The media types are picked so that both lengths are possible with canonical base64.
  EXPECT_FALSE(imageParts(dataURL("image/x-png", 2048)));
  auto parts = imageParts(dataURL("image/x-jpeg", 2049));
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->header, "image/x-jpeg;base64");
  auto hash = digest::sha256(parts->bytes);
  EXPECT_EQ(parts->file_name, digest::hex(hash.data(), 10) + ".bin");

  EXPECT_TRUE(imageParts(dataURL("image/jpeg", 4003))->file_name.ends_with(".jpg"));
  std::string with_break = dataURL("image/png", 4002);
  with_break.insert(100, "\n");
  EXPECT_FALSE(imageParts(with_break));
  // Trailing bits set in the last group: decodes, but encodes back differently.
  EXPECT_FALSE(imageParts("data:image/png;base64," + std::string(4000, 'A') + "AB=="));
  EXPECT_TRUE(imageParts("data:image/png;base64," + std::string(4000, 'A') + "AA=="));
  EXPECT_FALSE(imageParts("data:text/plain;base64," + dataURL("image/png", 4002).substr(22)));
  EXPECT_FALSE(imageParts("data:image/png," + std::string(4000, 'A')));        // not base64 header
  EXPECT_FALSE(imageParts("data:image/png;base64" + std::string(4000, 'A')));  // no comma
}

// An image is kept as a file and restored; one whose file went missing keeps its reference
// through a later save, where its file still counts as used.
TEST(ImageFilesTest, ExtractionKeepsEachImageAndAMissingOneKeepsItsReference) {
  TempDir dir;
  const std::string img = dataURL("image/tiff", 4003);
  auto withImages = [](const std::string& i) {
    return *json::parse(R"({"a":")" + i + R"(","b":[")" + i + R"(",1,null,{"c":"small"}]})");
  };
  auto package = file_io::Folder::open(dir.path(), file_io::Links::kRefuse);
  ASSERT_TRUE(package);
  std::set<std::string> used, missing, kept;
  const auto stored = extractImages(withImages(img), *package, used);
  ASSERT_EQ(used.size(), 1u);
  EXPECT_EQ(stored, withImages("quillstone-image:images/" + *used.begin() + "#image/tiff;base64"));
  EXPECT_EQ(restoreImages(stored, *package), withImages(img));
  fs::remove(dir / "images" / *used.begin());
  EXPECT_EQ(restoreImages(stored, *package, &missing), stored);
  EXPECT_EQ(missing, used);
  EXPECT_EQ(extractImages(stored, *package, kept), stored);
  EXPECT_EQ(kept, used);
}

// References never reach outside the images folder. Values nested deeper than parsed JSON can be
// (built in memory) are copied, not walked.
TEST(ImageFilesTest, ReferencesStayInsideAndDeepValuesComeThrough) {
  TempDir dir;
  writeText(dir / "secret.png", "outside");
  writeText(dir / "images/x.png", "inside");
  json::value refs = json::array{"quillstone-image:images/../../secret.png#image/png;base64",
                                 "quillstone-image:images/../x.png#image/png;base64",
                                 "quillstone-image:images/missing.png#image/png;base64",
                                 "quillstone-image:images/..#image/png;base64",
                                 "quillstone-image:no-hash",
                                 "plain"};
  json::value expected = refs;  // left as they are, but the one inside
  expected.at(1) = "data:image/png;base64," + digest::base64Encode("inside");
  EXPECT_EQ(restoreImages(refs, dir.path()), expected);

  json::value deep = "leaf";
  for (int i = 0; i < 3000; ++i) deep = json::array{std::move(deep)};
  std::set<std::string> used;
  auto folder = file_io::Folder::open(dir.path(), file_io::Links::kRefuse);
  EXPECT_EQ(extractImages(deep, *folder, used), deep);
  EXPECT_EQ(restoreImages(deep, dir.path()), deep);
}

TEST(CaptureTest, IdsAreCheckedBeforeAnyFileIsTouched) {
  TempDir dir;
  putCapture(dir.path(), "img-1", "tiny text");
  EXPECT_EQ(*capture(dir.path(), "img-1"), "tiny text");
  EXPECT_EQ(readText(dir / "captures/img-1.txt"), "tiny text");
  for (const char* bad : {"a_b", "a.b", "../img-1", "", "a/b"}) {
    putCapture(dir.path(), bad, "nope");
    EXPECT_FALSE(capture(dir.path(), bad)) << bad;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "captures"), fs::directory_iterator()), 1);
  dropCapture(dir.path(), "a.b");
  dropCapture(dir.path(), "img-1");
  EXPECT_FALSE(capture(dir.path(), "img-1"));
  dropCapture(dir.path(), "img-1");  // already gone: nothing happens
}

}  // namespace
}  // namespace qs::images
