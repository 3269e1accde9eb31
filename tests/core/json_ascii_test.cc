#include <gtest/gtest.h>

#include <cmath>

#include "core/json.h"

namespace qs::json {
namespace {

bool all_ascii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

TEST(JsonAsciiTest, EveryCharacterRoundTripsThroughEscapes) {
  // One and two byte forms, the line and paragraph separators a script literal can't hold, the
  // edges of the basic plane and of the surrogate range, and astral characters.
  const object original{
      {"caf\xc3\xa9 \xe2\x80\x9cquoted\xe2\x80\x9d", "na\xc3\xafve \xe2\x80\x94 \xc2\xa0"},
      {"separators", "a\xe2\x80\xa8" "b\xe2\x80\xa9" "c"},
      {"edges", array{"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                      "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}},
      {"prose", "\xf0\x9f\x8c\xb1 Stra\xc3\x9f" "e, \xe6\x97\xa5\xe6\x9c\xac, \xf0\x9f\x91\xa9\xe2"
                "\x80\x8d\xf0\x9f\x92\xbb\n\t\"\\/\x01"},
      {"numbers", array{1, -2.5, 1e300, nullptr, true}}};
  const auto text = compact_ascii(original);
  ASSERT_TRUE(text);
  EXPECT_TRUE(all_ascii(*text)) << *text;
  const auto back = parse(*text);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, value(original));
}

TEST(JsonAsciiTest, WritesSeparatorsAndAstralCharactersAsEscapes) {
  EXPECT_EQ(*compact_ascii(value("\xe2\x80\xa8\xe2\x80\xa9")), R"("\u2028\u2029")");
  EXPECT_EQ(*compact_ascii(value("\xf0\x9f\x98\x80")), R"("\ud83d\ude00")");
  EXPECT_EQ(*compact_ascii(value("\xf0\x90\x80\x80\xf4\x8f\xbf\xbf")),
            R"("\ud800\udc00\udbff\udfff")");
  EXPECT_EQ(*compact_ascii(value("\xc3\xa9\xef\xbf\xbf")), R"("\u00e9\uffff")");
  EXPECT_EQ(*compact_ascii(object{{"\xc3\xa9", "\x1f"}}), R"({"\u00e9":"\u001f"})");
}

TEST(JsonAsciiTest, AsciiTextIsTheCompactFormAndBadValuesAreRefused) {
  const auto v = parse(R"({"b":"x\n\"y\"","a":[1,2.5,null,{"k":false}]})");
  ASSERT_TRUE(v);
  EXPECT_EQ(compact_ascii(*v), compact(*v));
  EXPECT_FALSE(compact_ascii(value(std::nan(""))));
  EXPECT_FALSE(compact_ascii(array{"fine", std::string("\xe2\x80", 2)}));  // cut inside a character
  EXPECT_FALSE(compact_ascii(value(std::string("\xed\xa0\x80", 3))));       // a lone surrogate
  object bad_key;
  bad_key[std::string("\xff", 1)] = 1;
  EXPECT_FALSE(compact_ascii(bad_key));
}

}  // namespace
}  // namespace qs::json
