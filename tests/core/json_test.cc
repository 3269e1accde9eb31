#include "core/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qs::json {
namespace {

// Round trips and exact texts are the json_writer fuzz target's and the digest tests'; here
// what a reader would choke on.
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

}  // namespace
}  // namespace qs::json
