#include "claude/request_file.h"

#include <gtest/gtest.h>

#include "core/text.h"
#include "support/temp_dir.h"

namespace qs::claude {
namespace {

const std::string kId = "r-0123abcd-4567-89ab-cdef-0123456789ab";
const std::string kAt = "2025-03-01T09:30:00Z";

// JSON text with "ID" standing for kId.
json::object object(std::string_view text) {
  return qs::testing::object(text::replace_all(text, "ID", kId));
}

json::object request() {
  return object(R"({"requestId": "ID", "doc": {"id": "d1", "title": "Notes"},
      "thought": {"id": "t1"}, "thread": [{"id": "e1", "who": "writer", "text": "Why?"}]})");
}

// The file's object, or the refusal as {"refused": words}.
json::object built(const json::object& page) {
  auto file = requestFile(page, "/w/./Writing/.quillstone/claude/inbox", kAt);
  if (auto* refusal = std::get_if<std::string>(&file)) return json::object{{"refused", *refusal}};
  return std::get<RequestFile>(file).body;
}

TEST(ClaudeRequestFileTest, RefusalsInOrder) {
  const json::object missing{
      {"refused", "The request was missing its document, thought or thread."}};
  for (auto text : {R"({"doc": {"id": 7}, "thought": {"id": "t"}, "thread": [{}]})",
                    R"({"doc": {"id": "d"}, "thread": [{}]})",
                    R"({"doc": {"id": "d"}, "thought": {"id": "t"}, "thread": []})",
                    R"({"doc": {"id": "d"}, "thought": {"id": "t"}, "thread": [{}, "x"]})"}) {
    json::object page = object(text);
    page["requestId"] = kId;
    EXPECT_EQ(built(page), missing) << text;
    page["requestId"] = "r-{0123abcd-4567-89ab-cdef-0123456789ab}";
    EXPECT_EQ(built(page), json::object({{"refused", "The request had no usable id."}}));
  }
}

TEST(ClaudeRequestFileTest, TheFileWithItsDefaults) {
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

  page["reads"] = "para";
  page["truncated"] = true;
  const json::object file = built(page);
  EXPECT_FALSE(file.contains("paragraphs"));
  EXPECT_EQ(file.at("truncated"), true);
  EXPECT_EQ(requestDocOf(json::pretty(file)), "d1");
  EXPECT_EQ(requestDocOf("\xEF\xBB\xBF{\"doc\": {\"id\": \"d\"}}"), "d");
  for (auto text : {"{\"doc\": {\"id\": 1}}", "{\"doc\": \"d\"}", "{broken", "\"d\""}) {
    EXPECT_EQ(requestDocOf(text), std::nullopt) << text;
  }
}

TEST(ClaudeRequestFileTest, ExcerptAndLinkedAreCut) {
  auto paragraphs = [&](json::array list) {
    json::object page = request();
    page["paragraphs"] = std::move(list);
    return built(page);
  };
  json::array many;
  for (int i = 0; i < 250; ++i) many.push_back(json::object{{"id", "p" + std::to_string(i)}});
  json::object file = paragraphs(many);
  EXPECT_EQ(file.at("paragraphs").as_array().size(), 200u);
  EXPECT_EQ(file.at("truncated"), true);
  many.resize(200);
  EXPECT_FALSE(paragraphs(many).contains("truncated"));

  std::string accented;
  for (int i = 0; i < 30'000; ++i) accented += "\xC3\xA9";  // 60,000 bytes
  file = paragraphs(
      {{{"id", "a"}, {"text", accented}}, {{"id", "b"}, {"text", std::string(50'000, 'b')}}});
  EXPECT_EQ(file.at("paragraphs").as_array().size(), 1u);
  EXPECT_EQ(file.at("truncated"), true);
  file = paragraphs({{{"id", "a"}}, {{"id", "b"}}, {{"text", "no id"}}, {{"id", "d"}}});
  EXPECT_EQ(file.at("paragraphs").as_array().size(), 2u);
  EXPECT_EQ(file.at("truncated"), true);
  EXPECT_FALSE(paragraphs({{{"id", "a"}}, "not an object"}).contains("paragraphs"));

  json::array linked;
  for (int i = 0; i < 300; ++i) {
    linked.push_back(json::object{{"title", i == 1 ? json::value(5) : json::value("T")}});
    if (i % 2 == 0 || i == 1) linked.back().as_object()["id"] = "l" + std::to_string(i);
  }
  json::object page = request();
  page["reads"] = "linked";
  page["linked"] = linked;
  file = built(page);
  const auto& written = file.at("linked").as_array();
  ASSERT_EQ(written.size(), 101u);  // l1 and the even entries below 200
  EXPECT_EQ(written[1], object(R"({"id": "l1", "title": ""})"));
  EXPECT_EQ(written.back().at("id"), "l198");
  page["reads"] = "doc";
  EXPECT_FALSE(built(page).contains("linked"));
}

}  // namespace
}  // namespace qs::claude
