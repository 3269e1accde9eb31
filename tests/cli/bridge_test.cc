#include <gtest/gtest.h>

#include <algorithm>

#include "cli/cli_runner.h"
#include "core/json.h"
#include "support/temp_dir.h"

namespace qs::testing {
namespace {

class CliBridgeTest : public CliTest {
 protected:
  // Runs `quillstone-cli bridge` on the test's folders with `lines` as its input, and parses
  // each line it prints.
  std::vector<json::value> bridge(const std::vector<std::string>& lines,
                                  const std::vector<std::string>& extra = {}) {
    std::string input;
    for (const auto& line : lines) input += line + "\n";
    std::vector<std::string> args = places({"bridge"});
    args.insert(args.end(), extra.begin(), extra.end());
    result = run_cli(args, input, environment());
    std::vector<json::value> out;
    for (const auto& line : lines_of(result.out)) {
      out.push_back(json::parse(line).value_or("(not JSON)"));
    }
    return out;
  }

  // A {"value": …} reply as the page decodes it.
  static json::value decoded(const json::value& reply) {
    std::string_view raw = reply.at("value").as_string();
    EXPECT_TRUE(raw.starts_with("\x1e")) << raw;
    return json::parse(raw.substr(1)).value_or("(not JSON)");
  }

  std::map<std::string, std::string> environment() const {
    auto debug = env();
    debug["QUILLSTONE_DEBUG"] = "1";
    return debug;
  }

  CliResult result;
};

// The sync lane holds a bridge open on each computer for its writes and opens (tests/sync).
TEST_F(CliBridgeTest, AnswersEveryLineAndWaitsForBackgroundWork) {
  const std::string doc = R"({"id":"d1","rev":1,"doc":{"id":"d1","title":"Notes"}})";
  const std::string big(3'000'000, 'q');
  auto replies =
      bridge({R"({"op":"write","batch":{"docs":[)" + doc + "]}}", "not json", R"({"op":"Open"})",
              R"({"op":"authSignIn"})", R"({"op":"log","text":"hi"})",
              R"({"op":"putImage","id":"big","src":")" + big + "\"}"});
  EXPECT_EQ(result.status, 0) << result.err;
  // Replies come as the work ends, so compare them as a set.
  std::vector<json::value> expected = {json::object{{"value", "\x1etrue"}},
                                       json::object{{"value", "\x1etrue"}},
                                       json::object{{"value", "\x1etrue"}},
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

  replies = bridge({R"({"op":"open"})", R"({"op":"getImage","id":"big"})"});
  ASSERT_EQ(replies.size(), 2u) << result.err;
  if (decoded(replies[0]).is_string()) std::swap(replies[0], replies[1]);  // as the work ends
  EXPECT_EQ(decoded(replies[0]).at("state").at("docs").at(0).at("title"), "Notes");
  EXPECT_EQ(decoded(replies[1]), json::value(big));
  bridge({}, {"extra"});
  EXPECT_EQ(result.status, 2);
}

std::string ask(const std::string& id) {
  return R"({"op":"claudeAsk","request":{"requestId":")" + id +
         R"(","doc":{"id":"d1","title":"Notes"},"thought":{"id":"t1"},)"
         R"("thread":[{"id":"m1","text":"Why?"}]}})";
}
std::string cancel(const std::string& id) {
  return R"({"op":"claudeCancel","requestId":")" + id + "\"}";
}

TEST_F(CliBridgeTest, TheAssistantsExchangeIsTheDesktops) {
  const std::string taken = "r-11111111-1111-4111-8111-111111111111";
  const std::string waiting = "r-33333333-3333-4333-8333-333333333333";
  auto replies = bridge({ask(taken), cancel(taken)});
  ASSERT_EQ(replies.size(), 2u) << result.err;
  EXPECT_EQ(
      decoded(replies[0]),
      (json::object{{"ok", false},
                    {"message", "Claude on this computer is off. Turn it on in the AI menu."}}));
  EXPECT_EQ(decoded(replies[1]), json::value(false));

  write_text(dir_ / "config/settings.json", R"({"claudeOnMac": true})");
  const std::filesystem::path outbox = dir_ / "Writing/.quillstone/claude/outbox";
  const std::filesystem::path inbox = dir_ / "Writing/.quillstone/claude/inbox";
  // As Claude Code writes a reply: whole, by a rename into the inbox.
  auto reply = [&](const std::string& id, const std::string& body) {
    write_text(dir_ / "Writing/.quillstone/claude/staged", body);
    std::filesystem::rename(dir_ / "Writing/.quillstone/claude/staged", inbox / (id + ".json"));
  };
  auto next = [](CliSession& session) {
    return json::parse(session.line().value_or("")).value_or("(no line)");
  };

  CliSession session(places({"bridge"}), environment());
  session.send(ask(taken));
  EXPECT_EQ(decoded(next(session)), json::value(true));
  EXPECT_TRUE(std::filesystem::exists(outbox / (taken + ".json")));
  reply(taken, R"({"v":1,"requestId":")" + taken +
                   R"(","bullets":["Because."],"from":"Claude Code","placements":[)"
                   R"({"paragraphId":"p1","bullets":["Here."]}]})");
  EXPECT_EQ(next(session),
            json::parse(R"({"claudeReply":{"id":")" + taken +
                        R"(","bullets":["Because."],"from":"Claude Code",)"
                        R"("options":{"placements":[{"paragraphId":"p1","bullets":["Here."]}]}}})")
                .value());

  // Taken: the reply and its request are gone by the time the next message is answered. (What
  // a refusal or a cancel does to the files is the bridge's own, tested with it.)
  session.send(ask(waiting));
  EXPECT_EQ(decoded(next(session)), json::value(true));
  EXPECT_FALSE(std::filesystem::exists(inbox / (taken + ".json")));
  EXPECT_FALSE(std::filesystem::exists(outbox / (taken + ".json")));
  const CliResult ended = session.finish();
  EXPECT_EQ(ended.status, 0) << ended.err;
  EXPECT_EQ(ended.out, "");

  // A reply that came while no bridge ran is taken as the next one starts.
  reply(waiting, R"({"v":1,"requestId":")" + waiting + R"(","bullets":[],"empty":true})");
  replies = bridge({});
  ASSERT_EQ(replies.size(), 1u) << result.err;
  EXPECT_EQ(replies[0].at("claudeReply").at("options"), (json::object{{"empty", true}}));
  EXPECT_FALSE(std::filesystem::exists(outbox / (waiting + ".json")));
}

}  // namespace
}  // namespace qs::testing
