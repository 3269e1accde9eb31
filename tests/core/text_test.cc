#include "core/text.h"

#include <gtest/gtest.h>

#include "core/digest.h"
#include "core/ids.h"

namespace qs {
namespace {

TEST(TextTest, CountsAndCutsGraphemeClustersAndTrims) {
  const std::string family =
      "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7";
  const std::string accented = "e\xcc\x81";  // e + combining acute
  EXPECT_EQ(text::grapheme_count(family + accented + "x"), 3u);
  EXPECT_EQ(text::grapheme_prefix(family + accented + "x", 2), family + accented);
  EXPECT_EQ(text::grapheme_suffix("abc" + family, 2), "c" + family);
  EXPECT_EQ(text::grapheme_count(""), 0u);
  EXPECT_EQ(text::grapheme_prefix("ab", 5), "ab");
  EXPECT_GT(text::grapheme_count("\xff\xfe"), 0u);  // invalid bytes never crash
  // Each set is trimmed at both ends only.
  EXPECT_EQ(text::trim_whitespace(" \t\xc2\xa0 a b \n"), "a b \n");
  EXPECT_EQ(text::trim_whitespace_and_newlines("\n\u2028 a b \r\n\u3000"), "a b");
  EXPECT_EQ(text::trim_punctuation_and_whitespace("\xe2\x80\xa6Hello, world!\xe2\x80\x9d "),
            "Hello, world");
  EXPECT_EQ(text::trim_punctuation_and_whitespace("\n!a!\n"), "\n!a!\n");
  EXPECT_EQ(text::trim_horizontal_space("\t x \n"), "x \n");
  EXPECT_EQ(text::trim_whitespace("   "), "");
}

TEST(TextTest, InvalidBytesBecomeReplacementCharactersAndAnyWhiteSpaceSplits) {
  EXPECT_EQ(text::make_valid_utf8("ok \xc3\xa9"), "ok \xc3\xa9");
  EXPECT_EQ(text::make_valid_utf8("a\xff"
                                  "b\xc3"),
            "a\xef\xbf\xbd"
            "b\xef\xbf\xbd");
  EXPECT_TRUE(text::is_valid_utf8(text::make_valid_utf8("\xed\xa0\x80\xf4\x90\x80\x80")));
  auto pieces = text::split_on_whitespace(
      "  one\ttwo\n\nthree\u2029four\xc2\xa0"
      "five ");
  EXPECT_EQ(pieces, (std::vector<std::string>{"one", "two", "three", "four", "five"}));
  EXPECT_TRUE(text::split_on_whitespace(" \n ").empty());
}

TEST(IdsTest, DocumentAndCaptureIds) {
  EXPECT_TRUE(ids::is_document_id("abc_DEF-123"));
  EXPECT_TRUE(ids::is_document_id(std::string(128, 'a')));
  EXPECT_FALSE(ids::is_document_id(std::string(129, 'a')));
  for (std::string bad : std::vector<std::string>{"", "a/b", "..", "a.b", "a b",
                                                  std::string("a\0b", 3), "\xc3\xa9"}) {
    EXPECT_FALSE(ids::is_document_id(bad)) << bad;
  }
  EXPECT_TRUE(ids::is_reserved_id("_settings"));
  EXPECT_FALSE(ids::is_reserved_id("settings"));
  EXPECT_TRUE(ids::is_capture_id("img-42"));
  for (const char* bad : {"a_b", "a.b", ""}) EXPECT_FALSE(ids::is_capture_id(bad)) << bad;
}

TEST(DigestTest, Sha256AndStrictBase64) {
  auto h = digest::sha256("abc");
  EXPECT_EQ(digest::hex(h.data(), h.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  for (std::string s :
       std::vector<std::string>{"", "f", "fo", "foo", "foob", std::string("\0\xff", 2)}) {
    EXPECT_EQ(*digest::base64_decode(digest::base64_encode(s)), s);
  }
  EXPECT_EQ(digest::base64_encode("fo"), "Zm8=");
  EXPECT_EQ(digest::base64_encode("foobar\xfb\xff"), "Zm9vYmFy+/8=");
  for (const char* bad : {"Zm8", "Zm8=\n", "Zm=8", "Z m8=", "Zg==Zg==", "Zm8*"}) {
    EXPECT_FALSE(digest::base64_decode(bad)) << bad;
  }
}

}  // namespace
}  // namespace qs
