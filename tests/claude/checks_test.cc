// What is checked before a request file is written or a reply reaches a page.
#include <gtest/gtest.h>

#include "claude/reply_check.h"
#include "claude/request_file.h"
#include "core/ids.h"
#include "core/text.h"
#include "support/temp_dir.h"

namespace qs::claude {
namespace {

const std::string kId = "r-0123abcd-4567-89ab-cdef-0123456789ab";
using Checked = std::variant<Reply, std::string>;

// JSON text with "ID" standing for kId.
json::object object(std::string_view text) {
  return qs::testing::object(text::replace_all(text, "ID", kId));
}
Checked check(const std::string& text) {
  return checkReply(kId, text::replace_all(text, "ID", kId), "d1");
}

TEST(ClaudeRequestIdTest, OnlyRPrefixedUUIDsOfEitherCase) {
  EXPECT_TRUE(ids::is_request_id("r-0123ABCD-4567-89ab-cdef-0123456789aB"));
  for (std::string_view bad :
       {"", "R-0123abcd-4567-89ab-cdef-0123456789ab", "r-{0123abcd-4567-89ab-cdef-0123456789ab}",
        "r-0123abcd-4567-89ab-cdef-0123456789abc", "r-0123abcg-4567-89ab-cdef-0123456789ab",
        "r-0123abcd45-67-89ab-cdef-0123456789ab", "r-0123abcd-4567-89ab-cdef-0123456789ab\n"}) {
    EXPECT_FALSE(ids::is_request_id(bad)) << bad;
  }
}

TEST(ClaudeReplyCheckTest, EachRefusalGivesItsReason) {
  auto v1 = [](const std::string& rest) { return R"({"v": 1, "requestId": "ID", )" + rest + "}"; };
  auto placed = [&](const std::string& bullets, std::string extra = "", std::string id = "p") {
    return v1(R"("placements": [{"paragraphId": ")" + id + R"(", "bullets": [)" + bullets + "]" +
              extra + "}]");
  };
  std::string fifty = R"({"paragraphId": "p", "bullets": ["x"]})";
  for (int i = 0; i < 50; ++i) fifty += R"(,{"paragraphId": "p", "bullets": ["x"]})";
  const std::string long2001 = "\"" + std::string(2001, 'b') + "\"";
  const std::string eleven = R"("b")" + text::replace_all(std::string(10, ','), ",", R"(,"b")");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"v": 1,)", "it isn't JSON"},
      {std::string(100'000, '[') + std::string(100'000, ']'), "it isn't JSON"},
      {R"({"v": "1", "requestId": "ID", "bullets": ["x"]})", "it isn't version 1"},
      {R"({"v": 1.5, "requestId": "ID", "bullets": ["x"]})", "it isn't version 1"},
      {R"({"v": 1, "requestId": "r-1", "bullets": ["x"]})", "its requestId doesn't match its name"},
      {v1(R"("placements": {})"), "placements isn't a list"},
      {v1(R"("placements": [)" + fifty + "]"), "more than 50 placements"},
      {placed(R"("x")", "", std::string(65, 'p')), "a placement has no paragraphId"},
      {placed(eleven), "a placement needs 1 to 10 bullets"},
      {placed(long2001), "a placement's bullet is longer than 2000 characters"},
      {placed(R"("x")", R"(, "docId": "d2")"), "a placement names another document"},
      {v1(R"("empty": true)"), R"(it has no bullets (send "empty": true for no answer))"},
      {v1(R"("bullets": ["b", )" + eleven + "," + eleven + "]"), "more than 20 bullets"},
      {v1(R"("bullets": [)" + long2001 + "]"), "a bullet is longer than 2000 characters"},
  };
  for (const auto& [body, reason] : cases) {
    EXPECT_EQ(check(body), Checked(reason)) << body.substr(0, 80);
  }
  EXPECT_EQ(checkReply(kId, std::nullopt, "d1"), Checked("it isn't JSON"));
}

TEST(ClaudeReplyCheckTest, AcceptedRepliesAsThePageGetsThem) {
  std::string emoji;
  for (int i = 0; i < 2000; ++i) emoji += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // 2000 characters
  const std::string start = R"({"v": 1, "requestId": "ID", "bullets": ["x"], "extra": )";
  struct Case {
    std::string text;
    json::array bullets;
    std::string from, options;
  };
  for (const auto& c : std::vector<Case>{
           {R"({"v": 1.0, "requestId": "ID", "bullets": ["a", ")" + emoji + R"("], "from": ")" +
                std::string(200, 'f') + "\"}",
            {"a", emoji},
            std::string(120, 'f'),
            "{}"},
           {R"({"v": 1, "requestId": "ID", "from": 7, "placements": [
               {"paragraphId": "p1", "bullets": ["a"], "docId": "d1"}]})",
            {},
            "Claude",
            R"({"placements": [{"paragraphId": "p1", "bullets": ["a"]}]})"},
           {R"({"v": 1, "requestId": "ID", "bullets": [], "empty": true})",
            {},
            "Claude",
            R"({"empty": true})"},
           // A byte order mark or great length still leave a reply JSON.
           {"\xEF\xBB\xBF" + start + "0}", {"x"}, "Claude", "{}"},
           {start + "\"" + std::string(6'000'000, 'x') + "\"}", {"x"}, "Claude", "{}"}}) {
    const auto checked = check(c.text);
    ASSERT_TRUE(std::holds_alternative<Reply>(checked)) << std::get<std::string>(checked);
    const Reply& reply = std::get<Reply>(checked);
    EXPECT_EQ(std::tie(reply.bullets, reply.from), std::tie(c.bullets, c.from));
    EXPECT_EQ(reply.options, json::parse(c.options)->as_object());
  }
}

// Names that would break a log line, disguise themselves or spoil its encoding are escaped.
TEST(ClaudeReplyCheckTest, RefusalLinesEscapeTheName) {
  for (const auto& [name, printed] : std::vector<std::pair<std::string, std::string>>{
           {"two\nlines.json", "two\\nlines.json"},
           {"bad\xFF\x01.json", "bad\\xFF\\x01.json"},
           {"\xE2\x80\xAEnosj.exe.json", "\\u202Enosj.exe.json"},  // U+202E turns the rest around
           {"back\\slash\t\r\x7F\xC2\x85.json", "back\\\\slash\\t\\r\\x7F\\u0085.json"},
           {"caf\xC3\xA9 \xF0\x9F\x91\x8D.json", "caf\xC3\xA9 \xF0\x9F\x91\x8D.json"}}) {
    EXPECT_EQ(refusalLine("T", name, "why"), "T  " + printed + "  why\n");
  }
}

// The file's object, or the refusal as {"refused": words}.
json::object built(const json::object& page) {
  auto file = requestFile(page, "/w/./Writing/.quillstone/claude/inbox", "2025-03-01T09:30:00Z");
  if (auto* refusal = std::get_if<std::string>(&file)) return json::object{{"refused", *refusal}};
  return std::get<RequestFile>(file).body;
}

TEST(ClaudeRequestFileTest, RefusalsAndTheFileWithItsDefaults) {
  for (auto text :
       {R"({"requestId": "ID", "doc": {"id": 7}, "thought": {"id": "t"}, "thread": [{}]})",
        R"({"requestId": "ID", "doc": {"id": "d"}, "thought": {"id": "t"}, "thread": []})"}) {
    EXPECT_EQ(
        built(object(text)),
        json::object({{"refused", "The request was missing its document, thought or thread."}}));
  }
  json::object page = object(R"({"requestId": "ID", "doc": {"id": "d1", "title": 42},
      "thought": {"id": "t1"}, "thread": [{"text": "Hi"}, {"id": "e2", "who": "claude"}],
      "reads": "all", "paragraphs": [{"id": "p1", "text": "A"}, {"id": "p2", "index": "x"}],
      "paragraph": {"id": "p1"}, "extra": 1})");
  std::string ghost;
  for (int i = 0; i < 45; ++i) ghost += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // one character
  page["ghost"] = ghost;
  EXPECT_EQ(built(page), object(R"({"v": 1, "requestId": "ID", "at": "2025-03-01T09:30:00Z",
      "doc": {"id": "d1", "title": ""}, "thought": {"id": "t1"},
      "thread": [{"id": "", "who": "writer", "text": "Hi"}, {"id": "e2", "who": "claude", "text": ""}],
      "replyTo": "/w/Writing/.quillstone/claude/inbox/ID.json", "ghost": ")" +
                                ghost.substr(0, 40 * 8) + R"(",
      "paragraphs": [{"id": "p1", "index": 1, "text": "A"}, {"id": "p2", "index": "x", "text": ""}],
      "paragraph": {"id": "p1", "index": null, "text": ""}})"));
  page["requestId"] = "r-{0123abcd-4567-89ab-cdef-0123456789ab}";
  EXPECT_EQ(built(page), json::object({{"refused", "The request had no usable id."}}));

  EXPECT_EQ(std::tuple(requestDocOf("\xEF\xBB\xBF{\"doc\": {\"id\": \"d\"}}"),
                       requestDocOf("{\"doc\": {\"id\": 1}}"), requestDocOf("{broken")),
            std::tuple("d", std::nullopt, std::nullopt));
}

TEST(ClaudeRequestFileTest, ExcerptAndLinkedAreCut) {
  auto with = [&](std::string_view reads, std::string_view key, json::array list) {
    json::object page = object(R"({"requestId": "ID", "doc": {"id": "d1"}, "thought": {"id": "t1"},
        "thread": [{"text": "Why?"}]})");
    page["reads"] = reads;
    page[key] = std::move(list);
    return built(page);
  };
  json::array many;
  for (int i = 0; i < 250; ++i) many.push_back(json::object{{"id", "p" + std::to_string(i)}});
  json::object file = with("all", "paragraphs", many);
  EXPECT_EQ(std::tuple(file.at("paragraphs").as_array().size(), file.at("truncated")),
            std::tuple(200u, true));
  EXPECT_FALSE(with("para", "paragraphs", many).contains("paragraphs"));
  std::string accented;
  for (int i = 0; i < 30'000; ++i) accented += "\xC3\xA9";  // 60,000 bytes
  file =
      with("all", "paragraphs",
           {{{"id", "a"}, {"text", accented}}, {{"id", "b"}, {"text", std::string(50'000, 'b')}}});
  EXPECT_EQ(std::tuple(file.at("paragraphs").as_array().size(), file.at("truncated")),
            std::tuple(1u, true));

  json::array linked;
  for (int i = 0; i < 300; ++i) {
    linked.push_back(json::object{{"title", i == 1 ? json::value(5) : json::value("T")}});
    if (i % 2 == 0 || i == 1) linked.back().as_object()["id"] = "l" + std::to_string(i);
  }
  file = with("linked", "linked", linked);
  const auto& written = file.at("linked").as_array();
  ASSERT_EQ(written.size(), 101u);  // l1 and the even entries below 200
  EXPECT_EQ(written[1], object(R"({"id": "l1", "title": ""})"));
  EXPECT_FALSE(with("doc", "linked", linked).contains("linked"));
}

}  // namespace
}  // namespace qs::claude
