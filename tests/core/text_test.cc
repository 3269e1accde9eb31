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
  EXPECT_EQ(text::graphemeCount(family + accented + "x"), 3u);
  EXPECT_EQ(text::graphemePrefix(family + accented + "x", 2), family + accented);
  EXPECT_EQ(text::graphemeSuffix("abc" + family, 2), "c" + family);
  EXPECT_EQ(std::tuple(text::graphemeCount(""), text::graphemePrefix("ab", 5)),
            std::tuple(0u, "ab"));
  EXPECT_GT(text::graphemeCount("\xff\xfe"), 0u);  // invalid bytes never crash
  // Each set is trimmed at both ends only; invalid bytes become replacement characters.
  using Fn = std::string (*)(std::string_view);
  const std::tuple<Fn, std::string, std::string> rows[] = {
      {text::trimWhitespace, " \t\xc2\xa0 a b \n", "a b \n"},
      {text::trimWhitespace, "   ", ""},
      {text::trimWhitespaceAndNewlines, "\n\u2028 a b \r\n\u3000", "a b"},
      {text::trimPunctuationAndWhitespace, "\xe2\x80\xa6Hi, you!\xe2\x80\x9d ", "Hi, you"},
      {text::trimPunctuationAndWhitespace, "\n!a!\n", "\n!a!\n"},
      {text::trimHorizontalSpace, "\t x \n", "x \n"},
      {text::makeValidUTF8, "ok \xc3\xa9", "ok \xc3\xa9"},
      {text::makeValidUTF8,
       "a\xff"
       "b\xc3",
       "a\xef\xbf\xbd"
       "b\xef\xbf\xbd"}};
  for (const auto& [fn, in, out] : rows) EXPECT_EQ(fn(in), out) << in;
  EXPECT_TRUE(text::isValidUTF8(text::makeValidUTF8("\xed\xa0\x80\xf4\x90\x80\x80")));
  EXPECT_EQ(text::splitOnWhitespace("  one\ttwo\n\nthree\u2029four\xc2\xa0"
                                    "five "),
            (std::vector<std::string>{"one", "two", "three", "four", "five"}));
  EXPECT_TRUE(text::splitOnWhitespace(" \n ").empty());
}

TEST(IdsTest, DocumentAndCaptureIds) {
  EXPECT_TRUE(ids::isDocumentID("abc_DEF-123") && ids::isDocumentID(std::string(128, 'a')));
  for (std::string bad :
       {std::string(129, 'a'), ""s, "a/b"s, ".."s, "a.b"s, "a b"s, "a\0b"s, "\xc3\xa9"s}) {
    EXPECT_FALSE(ids::isDocumentID(bad)) << bad;
  }
  EXPECT_TRUE(ids::isReservedID("_settings") && !ids::isReservedID("settings"));
  EXPECT_TRUE(ids::isCaptureID("img-42"));
  for (const char* bad : {"a_b", "a.b", ""}) EXPECT_FALSE(ids::isCaptureID(bad)) << bad;
}

TEST(DigestTest, Sha256AndStrictBase64) {
  auto h = digest::sha256("abc");
  EXPECT_EQ(digest::hex(h.data(), h.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  for (std::string s : {""s, "f"s, "fo"s, "foo"s, "foob"s, "\0\xff"s}) {
    EXPECT_EQ(*digest::base64Decode(digest::base64Encode(s)), s);
  }
  EXPECT_EQ(digest::base64Encode("fo") + digest::base64Encode("foobar\xfb\xff"),
            "Zm8=Zm9vYmFy+/8=");
  for (const char* bad : {"Zm8", "Zm8=\n", "Zm=8", "Z m8=", "Zg==Zg==", "Zm8*"}) {
    EXPECT_FALSE(digest::base64Decode(bad)) << bad;
  }
}

}  // namespace
}  // namespace qs
