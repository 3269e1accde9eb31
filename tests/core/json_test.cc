#include "core/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qs::json {
namespace {

TEST(JsonTest, FileFormSortsKeysIndentsAndKeepsSlashesCompactFormKeepsOrder) {
  auto v = parse(R"({"b":1,"a":{"z":"x/y","c":[1,2.5]},"e":[],"d":{}})");
  ASSERT_TRUE(v);
  EXPECT_EQ(*pretty(*v),
            "{\n  \"a\" : {\n    \"c\" : [\n      1,\n      2.5\n    ],\n    \"z\" : \"x/y\"\n  },"
            "\n  \"b\" : 1,\n  \"d\" : {},\n  \"e\" : []\n}");
  // The compact form keeps the key order and escapes controls.
  v = parse(R"({"b":"\u0001\n\"\\","a":true,"c":null})");
  ASSERT_TRUE(v);
  EXPECT_EQ(*compact(*v), R"({"b":"\u0001\n\"\\","a":true,"c":null})");
  EXPECT_EQ(*compact(value("caf\xc3\xa9 \xe2\x80\x94")), "\"caf\xc3\xa9 \xe2\x80\x94\"");
}

// Round trips of every form are the json_writer fuzz target's; here the exact texts.
TEST(JsonTest, DoublesInShortestFormReadExactly) {
  EXPECT_EQ(*compact(value(0.1)), "0.1");
  // Negative zero is written as the page writes it; "-0" would come back as another text.
  EXPECT_EQ(*compact(value(-0.0)), "0");
  // Read exactly, not to within a unit in the last place: else a stored number would drift.
  for (double d : {1.2222222e+71, -9.223372036857758e+23}) {
    EXPECT_EQ(parse(*compact(value(d)))->get_double(), d);
  }
}

TEST(JsonTest, WritingAndParsingRefuseWhatAReaderWouldChokeOn) {
  EXPECT_FALSE(compact(value(std::nan(""))));
  EXPECT_FALSE(pretty(value(std::numeric_limits<double>::infinity())));
  object o;
  o["ok"] = "fine";
  o["bad"] = std::string("\xff\xfe", 2);
  EXPECT_FALSE(compact(o));
  object k;
  k[std::string("\xc3", 1)] = 1;  // a key cut inside a character
  EXPECT_FALSE(pretty(k));
  // Parsing refuses bad text and deep nesting.
  EXPECT_FALSE(parse("{"));
  EXPECT_FALSE(parse("{} trailing"));
  EXPECT_FALSE(parse("\"\xff\""));
  EXPECT_FALSE(parse(std::string(100000, '[') + std::string(100000, ']')));
  EXPECT_TRUE(parse(std::string(100, '[') + std::string(100, ']')));
  EXPECT_FALSE(parse(R"({"a":[1,{"b":1e999}]})"));  // would read as infinity
  EXPECT_TRUE(parse("1.7976931348623157e308"));
}

TEST(JsonTest, TrueFlagsAreBooleansAndNonZeroNumbers) {
  for (auto [flag, is_true] : {std::pair{value(true), true},
                               {value(1), true},
                               {value(0.5), true},
                               {value(0), false},
                               {value("true"), false},
                               {value(false), false}})
    EXPECT_EQ(is_true_flag(&flag), is_true) << flag;
  EXPECT_FALSE(is_true_flag(nullptr));
}

// The ASCII form, as the page is answered: separators a script literal can't hold and astral
// characters are written as escapes.
TEST(JsonAsciiTest, EscapesForNonAsciiCharacters) {
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
