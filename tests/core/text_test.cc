#include "core/text.h"

#include <gtest/gtest.h>

#include "core/digest.h"
#include "core/ids.h"

namespace qs {
namespace {

using namespace std::literals;

TEST(TextTest, GraphemeClustersTrimsAndSplits) {
  const std::string family =
      "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7";
  const std::string accented = "e\xcc\x81";  // e + combining acute
  EXPECT_EQ(text::grapheme_count(family + accented + "x"), 3u);
  EXPECT_EQ(text::grapheme_prefix(family + accented + "x", 2), family + accented);
  EXPECT_EQ(text::grapheme_suffix("abc" + family, 2), "c" + family);
  EXPECT_EQ(std::tuple(text::grapheme_count(""), text::grapheme_prefix("ab", 5)),
            std::tuple(0u, "ab"));
  EXPECT_GT(text::grapheme_count("\xff\xfe"), 0u);  // invalid bytes never crash
  // Each set is trimmed at both ends only; invalid bytes become replacement characters.
  using Fn = std::string (*)(std::string_view);
  const std::tuple<Fn, std::string, std::string> rows[] = {
      {text::trim_whitespace, " \t\xc2\xa0 a b \n", "a b \n"},
      {text::trim_whitespace, "   ", ""},
      {text::trim_whitespace_and_newlines, "\n\u2028 a b \r\n\u3000", "a b"},
      {text::trim_punctuation_and_whitespace, "\xe2\x80\xa6Hi, you!\xe2\x80\x9d ", "Hi, you"},
      {text::trim_punctuation_and_whitespace, "\n!a!\n", "\n!a!\n"},
      {text::trim_horizontal_space, "\t x \n", "x \n"},
      {text::make_valid_utf8, "ok \xc3\xa9", "ok \xc3\xa9"},
      {text::make_valid_utf8,
       "a\xff"
       "b\xc3",
       "a\xef\xbf\xbd"
       "b\xef\xbf\xbd"}};
  for (const auto& [fn, in, out] : rows) EXPECT_EQ(fn(in), out) << in;
  EXPECT_TRUE(text::is_valid_utf8(text::make_valid_utf8("\xed\xa0\x80\xf4\x90\x80\x80")));
  EXPECT_EQ(text::split_on_whitespace("  one\ttwo\n\nthree\u2029four\xc2\xa0"
                                      "five "),
            (std::vector<std::string>{"one", "two", "three", "four", "five"}));
  EXPECT_TRUE(text::split_on_whitespace(" \n ").empty());
}

TEST(IdsTest, DocumentAndCaptureIds) {
  EXPECT_TRUE(ids::is_document_id("abc_DEF-123") && ids::is_document_id(std::string(128, 'a')));
  for (std::string bad :
       {std::string(129, 'a'), ""s, "a/b"s, ".."s, "a.b"s, "a b"s, "a\0b"s, "\xc3\xa9"s}) {
    EXPECT_FALSE(ids::is_document_id(bad)) << bad;
  }
  EXPECT_TRUE(ids::is_reserved_id("_settings") && !ids::is_reserved_id("settings"));
  EXPECT_TRUE(ids::is_capture_id("img-42"));
  for (const char* bad : {"a_b", "a.b", ""}) EXPECT_FALSE(ids::is_capture_id(bad)) << bad;
}

TEST(DigestTest, Sha256AndStrictBase64) {
  auto h = digest::sha256("abc");
  EXPECT_EQ(digest::hex(h.data(), h.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  for (std::string s : {""s, "f"s, "fo"s, "foo"s, "foob"s, "\0\xff"s}) {
    EXPECT_EQ(*digest::base64_decode(digest::base64_encode(s)), s);
  }
  EXPECT_EQ(digest::base64_encode("fo") + digest::base64_encode("foobar\xfb\xff"),
            "Zm8=Zm9vYmFy+/8=");
  for (const char* bad : {"Zm8", "Zm8=\n", "Zm=8", "Z m8=", "Zg==Zg==", "Zm8*"}) {
    EXPECT_FALSE(digest::base64_decode(bad)) << bad;
  }
}

}  // namespace
}  // namespace qs
