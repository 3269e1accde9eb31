#include "claude/reply_check.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "core/text.h"

namespace qs::claude {
namespace {

const std::string kId = "r-0123abcd-4567-89ab-cdef-0123456789ab";

std::variant<Reply, std::string> check(const std::string& text) {
  return checkReply(kId, text::replace_all(text, "ID", kId), "d1");
}

TEST(ClaudeReplyCheckTest, EachRefusalGivesItsReasonInOrder) {
  auto v1 = [](const std::string& rest) { return R"({"v": 1, "requestId": "ID", )" + rest + "}"; };
  auto placed = [&](const std::string& list) { return v1(R"("placements": [)" + list + "]"); };
  auto placement = [](const std::string& id, const std::string& bullets, std::string extra = "") {
    return R"({"paragraphId": ")" + id + R"(", "bullets": [)" + bullets + "]" + extra + "}";
  };
  std::string fifty = placement("p1", R"("x")");
  for (int i = 0; i < 50; ++i) fifty += "," + placement("p1", R"("x")");
  const std::string long2001 = "\"" + std::string(2001, 'b') + "\"";
  const std::string twenty = R"("b")" + text::replace_all(std::string(19, ','), ",", R"(,"b")");
  const std::string noBullets = R"(it has no bullets (send "empty": true for no answer))";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"v": 1,)", "it isn't JSON"},
      {R"([1])", "it isn't JSON"},
      {std::string(R"({"v": 1, "requestId": "ID", "bullets": ["bad \xC3\x28 byte"]})"),
       "it isn't JSON"},
      {std::string(100'000, '[') + std::string(100'000, ']'), "it isn't JSON"},
      {R"({"requestId": "ID", "bullets": ["x"]})", "it isn't version 1"},
      {R"({"v": "1", "requestId": "ID", "bullets": ["x"]})", "it isn't version 1"},
      {R"({"v": true, "requestId": "ID", "bullets": ["x"]})", "it isn't version 1"},
      {R"({"v": 1.5, "requestId": "ID", "bullets": ["x"]})", "it isn't version 1"},
      {R"({"v": 1, "requestId": "r-1", "bullets": ["x"]})", "its requestId doesn't match its name"},
      {v1(R"("placements": {})"), "placements isn't a list"},
      {placed("1"), "placements isn't a list"},
      {placed(fifty), "more than 50 placements"},
      {placed(R"({"bullets": ["x"]})"), "a placement has no paragraphId"},
      {placed(placement(std::string(65, 'p'), R"("x")")), "a placement has no paragraphId"},
      {placed(placement("p", "")), "a placement needs 1 to 10 bullets"},
      {placed(placement("p", twenty.substr(0, 4 * 11 - 1))), "a placement needs 1 to 10 bullets"},
      {placed(placement("p", "1")), "a placement needs 1 to 10 bullets"},
      {placed(placement("p", long2001)), "a placement's bullet is longer than 2000 characters"},
      {placed(placement("p", R"("x")", R"(, "docId": 5)")), "a placement names another document"},
      {placed(placement("p", R"("x")", R"(, "docId": "d2")")),
       "a placement names another document"},
      {v1(R"("empty": true)"), noBullets},
      {v1(R"("bullets": [])"), noBullets},
      {v1(R"("bullets": ["a", 2])"), noBullets},
      {v1(R"("bullets": ["b", )" + twenty + "]"), "more than 20 bullets"},
      {v1(R"("bullets": [)" + twenty.substr(4) + "," + long2001 + "]"),
       "a bullet is longer than 2000 characters"},
  };
  for (const auto& [body, reason] : cases) {
    EXPECT_EQ(check(body), (std::variant<Reply, std::string>(reason))) << body.substr(0, 80);
  }
  EXPECT_EQ(checkReply(kId, std::nullopt, "d1"),
            (std::variant<Reply, std::string>("it isn't JSON")));
}

TEST(ClaudeReplyCheckTest, AcceptedRepliesAsThePageGetsThem) {
  std::string emoji;
  for (int i = 0; i < 2000; ++i) emoji += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // 2000 characters
  const std::string start = R"({"v": 1, "requestId": "ID", "bullets": ["x"], "extra": )";
  struct Case {
    std::string text;
    json::array bullets;
    std::string from;
    std::string options;
  };
  const std::vector<Case> cases = {
      {R"({"v": 1.0, "requestId": "ID", "bullets": ["a", ")" + emoji + R"("], "from": ")" +
           std::string(200, 'f') + "\"}",
       {"a", emoji},
       std::string(120, 'f'),
       "{}"},
      {R"({"v": 1, "requestId": "ID", "from": 7, "placements": [
          {"paragraphId": "p1", "bullets": ["a"], "docId": "d1"},
          {"paragraphId": "p2", "bullets": ["b", "c"]}]})",
       {},
       "Claude",
       R"({"placements": [{"paragraphId": "p1", "bullets": ["a"]},
          {"paragraphId": "p2", "bullets": ["b", "c"]}]})"},
      {R"({"v": 1, "requestId": "ID", "bullets": [], "empty": true})",
       {},
       "Claude",
       R"({"empty": true})"},
      // A byte order mark, deep nesting or great length still leave a reply JSON.
      {"\xEF\xBB\xBF" + start + "0}", {"x"}, "Claude", "{}"},
      {start + std::string(100, '[') + std::string(100, ']') + "}", {"x"}, "Claude", "{}"},
      {start + "\"" + std::string(6'000'000, 'x') + "\"}", {"x"}, "Claude", "{}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    const auto checked = check(c.text);
    ASSERT_TRUE(std::holds_alternative<Reply>(checked)) << std::get<std::string>(checked);
    const Reply& reply = std::get<Reply>(checked);
    EXPECT_EQ(reply.bullets, c.bullets);
    EXPECT_EQ(reply.from, c.from);
    EXPECT_EQ(reply.options, json::parse(c.options)->as_object());
    EXPECT_EQ(reply.empty, reply.options.contains("empty"));
  }
}

// Names that would break a log line, disguise themselves or spoil its encoding are escaped.
TEST(ClaudeReplyCheckTest, RefusalLinesEscapeTheName) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"notes.json", "notes.json"},
      {"two\nlines.json", "two\\nlines.json"},
      {"bad\xFF\x01.json", "bad\\xFF\\x01.json"},
      {"\xE2\x80\xAEnosj.exe.json", "\\u202Enosj.exe.json"},  // U+202E turns the rest around
      {"back\\slash\t\r\x7F\xC2\x85.json", "back\\\\slash\\t\\r\\x7F\\u0085.json"},
      {"caf\xC3\xA9 \xF0\x9F\x91\x8D.json", "caf\xC3\xA9 \xF0\x9F\x91\x8D.json"},
      {"cut\xE2\x80", "cut\\xE2\\x80"},
  };
  for (const auto& [name, printed] : names) {
    EXPECT_EQ(refusalLine("2025-03-01T09:30:00Z", name, "why"),
              "2025-03-01T09:30:00Z  " + printed + "  why\n");
  }
}

}  // namespace
}  // namespace qs::claude
