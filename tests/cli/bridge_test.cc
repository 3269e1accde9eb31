#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_runner.h"
#include "core/json.h"
#include "support/temp_dir.h"

namespace qs::testing {
namespace {

class CliBridgeTest : public CliTest {
 protected:
  // Runs `quillstone-cli bridge` on the test's folders with `lines` as its input, and parses
  // each line it prints.
  std::vector<json::value> bridge(const std::vector<std::string>& lines) {
    std::string input;
    for (const auto& line : lines) input += line + "\n";
    auto debug = env();
    debug["QUILLSTONE_DEBUG"] = "1";
    result = runCLI(places({"bridge"}), input, debug);
    std::vector<json::value> out;
    for (const auto& line : linesOf(result.out)) out.push_back(json::parse(line).value_or("-"));
    return out;
  }
  // A {"value": …} reply as the page decodes it.
  static json::value decoded(const json::value& reply) {
    std::string_view raw = reply.at("value").as_string();
    EXPECT_TRUE(raw.starts_with("\x1e")) << raw;
    return json::parse(raw.substr(1)).value_or("(not JSON)");
  }

  CliResult result;
};

std::string ask(const std::string& id) {
  return R"({"op":"claudeAsk","request":{"requestId":")" + id +
         R"(","doc":{"id":"d1","title":"Notes"},"thought":{"id":"t1"},)"
         R"("thread":[{"id":"m1","text":"Why?"}]}})";
}

// A reply arriving while the bridge runs is the desktop's, seen end to end (claude_e2e).
TEST_F(CliBridgeTest, TheAssistantsExchangeIsTheDesktops) {
  const std::string id = "r-11111111-1111-4111-8111-111111111111";
  auto replies = bridge({ask(id), R"({"op":"claudeCancel","requestId":")" + id + "\"}"});
  ASSERT_EQ(replies.size(), 2u) << result.err;
  EXPECT_EQ(
      decoded(replies[0]),
      (json::object{{"ok", false},
                    {"message", "Claude on this computer is off. Turn it on in the AI menu."}}));
  EXPECT_EQ(decoded(replies[1]), json::value(false));

  writeText(dir_ / "config/settings.json", R"({"claudeOnMac": true})");
  const std::filesystem::path claude = dir_ / "Writing/.quillstone/claude";
  replies = bridge({ask(id)});
  ASSERT_EQ(replies.size(), 1u) << result.err;
  EXPECT_EQ(decoded(replies[0]), json::value(true));
  EXPECT_TRUE(std::filesystem::exists(claude / "outbox" / (id + ".json")));
  // A reply that came while no bridge ran is taken as the next one starts, with its request.
  writeText(claude / "staged", R"({"v":1,"requestId":")" + id +
                                   R"(","bullets":["Because."],"from":"Claude Code",)"
                                   R"("placements":[{"paragraphId":"p1","bullets":["Here."]}]})");
  std::filesystem::rename(claude / "staged", claude / "inbox" / (id + ".json"));
  replies = bridge({});
  ASSERT_EQ(replies.size(), 1u) << result.err;
  EXPECT_EQ(replies[0],
            json::parse(R"({"claudeReply":{"id":")" + id +
                        R"(","bullets":["Because."],"from":"Claude Code",)"
                        R"("options":{"placements":[{"paragraphId":"p1","bullets":["Here."]}]}}})")
                .value());
  EXPECT_TRUE(namesIn(claude / "inbox").empty() && namesIn(claude / "outbox").empty());
}

}  // namespace
}  // namespace qs::testing
