#include "core/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qs::json {
namespace {

// Round trips of every form are the json_writer fuzz target's; here the exact texts.
TEST(JsonTest, FileFormSortsKeysIndentsAndKeepsSlashesCompactFormKeepsOrder) {
  auto v = parse(R"({"b":1,"a":{"z":"x/y","c":[1,2.5]},"e":[],"d":{}})");
  ASSERT_TRUE(v);
  EXPECT_EQ(*pretty(*v),
            "{\n  \"a\" : {\n    \"c\" : [\n      1,\n      2.5\n    ],\n    \"z\" : \"x/y\"\n  },"
            "\n  \"b\" : 1,\n  \"d\" : {},\n  \"e\" : []\n}");
  // The compact form keeps the key order and escapes controls; the ASCII form is the same text
  // for ASCII.
  v = parse(R"({"b":"\u0001\n\"\\","a":[true,2.5,{"k":null}]})");
  ASSERT_TRUE(v);
  EXPECT_EQ(*compact(*v), R"({"b":"\u0001\n\"\\","a":[true,2.5,{"k":null}]})");
  EXPECT_EQ(compactAscii(*v), compact(*v));
  EXPECT_EQ(*compact(value("caf\xc3\xa9 \xe2\x80\x94")), "\"caf\xc3\xa9 \xe2\x80\x94\"");
  // Doubles in shortest form, read exactly: else a stored number would drift. Negative zero is
  // written as the page writes it.
  EXPECT_EQ(*compact(array{0.1, -0.0}), "[0.1,0]");
  for (double d : {1.2222222e+71, -9.223372036857758e+23}) {
    EXPECT_EQ(parse(*compact(value(d)))->get_double(), d);
  }
}

// The ASCII form, as the page is answered: separators a script literal can't hold and astral
// characters are written as escapes.
TEST(JsonTest, TheAsciiFormEscapesWhatIsntAscii) {
  EXPECT_EQ(*compactAscii(array{"\u2028\u2029", "😀", "\U00010000\U0010ffff", "é\uffff"}),
            R"(["\u2028\u2029","\ud83d\ude00","\ud800\udc00\udbff\udfff","\u00e9\uffff"])");
  EXPECT_EQ(*compactAscii(object{{"é", "\x1f"}}), R"({"\u00e9":"\u001f"})");
}

TEST(JsonTest, WritingAndParsingRefuseWhatAReaderWouldChokeOn) {
  object bad_key;
  bad_key[std::string("\xc3", 1)] = 1;  // a key cut inside a character
  for (const value& bad :
       {value(std::nan("")), value(std::numeric_limits<double>::infinity()),
        value(object{{"ok", "fine"}, {"bad", std::string("\xff\xfe", 2)}}), value(bad_key),
        value(array{"fine", std::string("\xe2\x80", 2)}), value(std::string("\xed\xa0\x80", 3))}) {
    EXPECT_FALSE(compact(bad) || pretty(bad) || compactAscii(bad)) << bad;
  }
  // Parsing refuses bad text and deep nesting, and what would read as infinity.
  for (const std::string& text : {std::string("{"), std::string("{} trailing"),
                                  std::string("\"\xff\""), std::string(R"({"a":[1,{"b":1e999}]})"),
                                  std::string(100000, '[') + std::string(100000, ']')}) {
    EXPECT_FALSE(parse(text)) << text.substr(0, 20);
  }
  EXPECT_TRUE(parse(std::string(100, '[') + std::string(100, ']')));
  EXPECT_TRUE(parse("1.7976931348623157e308"));
}

TEST(JsonTest, TrueFlagsAreBooleansAndNonZeroNumbers) {
  const std::pair<value, bool> flags[] = {{true, true}, {1, true},       {0.5, true},
                                          {0, false},   {"true", false}, {false, false}};
  for (const auto& [flag, is_true] : flags) EXPECT_EQ(isTrueFlag(&flag), is_true) << flag;
  EXPECT_FALSE(isTrueFlag(nullptr));
}

}  // namespace
}  // namespace qs::json
