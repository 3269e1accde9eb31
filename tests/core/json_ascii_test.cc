#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "core/json.h"

namespace qs::json {
namespace {

TEST(JsonAsciiTest, EveryCharacterRoundTripsThroughEscapes) {
  // One and two byte forms, the line and paragraph separators a script literal can't hold, the
  // edges of the basic plane and of the surrogate range, and astral characters.
  const object original{{"café “quoted”", "naïve — \xc2\xa0"},
                        {"separators", "a\u2028b\u2029c"},
                        {"edges", array{"\u0080", "\u07ff", "\u0800", "\ud7ff", "\ue000", "\uffff",
                                        "\U00010000", "\U0010ffff"}},
                        {"prose", "🌱 Straße, 日本, 👩‍💻\n\t\"\\/\x01"},
                        {"numbers", array{1, -2.5, 1e300, nullptr, true}}};
  const auto text = compact_ascii(original);
  ASSERT_TRUE(text);
  EXPECT_TRUE(std::ranges::all_of(*text, [](unsigned char c) { return c < 0x80; })) << *text;
  const auto back = parse(*text);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, value(original));
  // Separators and astral characters are written as escapes.
  EXPECT_EQ(*compact_ascii(value("\u2028\u2029")), R"("\u2028\u2029")");
  EXPECT_EQ(*compact_ascii(value("😀")), R"("\ud83d\ude00")");
  EXPECT_EQ(*compact_ascii(value("\U00010000\U0010ffff")), R"("\ud800\udc00\udbff\udfff")");
  EXPECT_EQ(*compact_ascii(value("é\uffff")), R"("\u00e9\uffff")");
  EXPECT_EQ(*compact_ascii(object{{"é", "\x1f"}}), R"({"\u00e9":"\u001f"})");
}

TEST(JsonAsciiTest, AsciiTextIsTheCompactFormAndBadValuesAreRefused) {
  const auto v = parse(R"({"b":"x\n\"y\"","a":[1,2.5,null,{"k":false}]})");
  ASSERT_TRUE(v);
  EXPECT_EQ(compact_ascii(*v), compact(*v));
  EXPECT_FALSE(compact_ascii(value(std::nan(""))));
  EXPECT_FALSE(compact_ascii(array{"fine", std::string("\xe2\x80", 2)}));  // cut inside a character
  EXPECT_FALSE(compact_ascii(value(std::string("\xed\xa0\x80", 3))));      // a lone surrogate
  object bad_key;
  bad_key[std::string("\xff", 1)] = 1;
  EXPECT_FALSE(compact_ascii(bad_key));
}

}  // namespace
}  // namespace qs::json
