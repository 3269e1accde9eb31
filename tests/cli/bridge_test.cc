#include <gtest/gtest.h>

#include <algorithm>

#include "cli/cli_runner.h"
#include "core/json.h"
#include "support/temp_dir.h"

namespace qs::testing {
namespace {

class CliBridgeTest : public ::testing::Test {
 protected:
  // Runs `quillstone-cli bridge` on the test's folders with `lines` as its input, and parses
  // each line it prints.
  std::vector<json::value> bridge(const std::vector<std::string>& lines,
                                  const std::vector<std::string>& extra = {}) {
    std::string input;
    for (const auto& line : lines) input += line + "\n";
    std::vector<std::string> args = {"--root", (dir / "root").string(), "--support",
                                     (dir / "support").string(), "bridge"};
    args.insert(args.end(), extra.begin(), extra.end());
    result = run_cli(args, input,
                     {{"QUILLSTONE_DEBUG", "1"}, {"XDG_CONFIG_HOME", (dir / "config").string()}});
    std::vector<json::value> out;
    for (std::size_t start = 0, end; start < result.out.size(); start = end + 1) {
      end = result.out.find('\n', start);
      out.push_back(json::parse(result.out.substr(start, end - start)).value_or("(not JSON)"));
    }
    return out;
  }

  // A {"value": …} reply as the page decodes it.
  static json::value decoded(const json::value& reply) {
    std::string_view raw = reply.at("value").as_string();
    EXPECT_TRUE(raw.starts_with("\x1e")) << raw;
    return json::parse(raw.substr(1)).value_or("(not JSON)");
  }

  TempDir dir;
  CliResult result;
};

TEST_F(CliBridgeTest, AnswersEveryLineAndWaitsForBackgroundWork) {
  const std::string doc = R"({"id":"d1","rev":1,"doc":{"id":"d1","title":"Notes"}})";
  auto replies =
      bridge({R"({"op":"open"})", R"({"op":"write","batch":{"docs":[)" + doc + "]}}", "not json",
              R"({"op":"Open"})", R"({"op":"authSignIn"})", R"({"op":"log","text":"hi"})", ""});
  EXPECT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(replies.size(), 7u) << result.out;
  // Replies come as the work ends, so compare them as a set; the workspace is checked below.
  std::erase_if(replies, [](const auto& r) {
    return r.as_object().contains("value") && r.at("value").as_string().starts_with("\x1e{\"kind");
  });
  std::vector<json::value> expected = {json::object{{"value", "\x1etrue"}},
                                       json::object{{"value", "\x1etrue"}},
                                       json::object{{"error", "No window"}},
                                       json::object{{"error", "No window"}},
                                       json::object{{"error", "Unknown op Open"}},
                                       json::object{{"value", "\x1e{\"error\":\"failed\"}"}}};
  const auto by_text = [](const json::value& a, const json::value& b) {
    return json::compact(a) < json::compact(b);
  };
  std::sort(replies.begin(), replies.end(), by_text);
  std::sort(expected.begin(), expected.end(), by_text);
  EXPECT_EQ(replies, expected) << result.out;
  EXPECT_NE(result.err.find("Quillstone page: hi\n"), std::string::npos);

  replies = bridge({R"({"op":"open"})"});
  ASSERT_EQ(replies.size(), 1u) << result.err;
  const json::value workspace = decoded(replies[0]);
  const auto& docs = workspace.at("state").at("docs").as_array();
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0].at("title").as_string(), "Notes");
}

TEST_F(CliBridgeTest, LongLinesNoLinesAndArguments) {
  const std::string big(3'000'000, 'q');
  auto replies = bridge(
      {R"({"op":"putImage","id":"big","src":")" + big + "\"}", R"({"op":"getImage","id":"big"})"});
  ASSERT_EQ(replies.size(), 2u) << result.err;
  EXPECT_EQ(decoded(replies[1]), json::value(big));

  EXPECT_TRUE(bridge({}).empty());
  EXPECT_EQ(result.status, 0);
  bridge({}, {"extra"});
  EXPECT_EQ(result.status, 2);
}

}  // namespace
}  // namespace qs::testing
