#include "claude/claude_bridge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <utility>

#include "app/prefs.h"
#include "bridge/host_log.h"
#include "core/ids.h"
#include "core/text.h"
#include "library/inotify_watcher.h"
#include "support/real_time_loop.h"
#include "support/temp_dir.h"

namespace qs::claude {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::testing::count_of;
using qs::testing::read_text;
using qs::testing::TempDir;
using qs::testing::write_text;

const std::string kId = "r-0123abcd-4567-89ab-cdef-0123456789ab";
const std::string kOtherId = "r-ffffffff-0000-1111-2222-333333333333";
const std::string kName = kId + ".json";
const std::string kReply = R"({"v": 1, "requestId": "ID", "bullets": ["x"]})";
const std::string kNothingWaiting =
    "no request is waiting for it (never sent, cancelled, or already answered)";

struct FakeTarget : ReplyTarget {
  struct Call {
    std::string id;
    json::array bullets;
    std::string from;
    json::object options;
    std::function<void(std::optional<bool>)> then;
  };
  bool isLoaded = true;
  std::vector<Call> calls;

  bool loaded() const override { return isLoaded; }
  void claudeReply(std::string id, json::array bullets, std::string from, json::object options,
                   std::function<void(std::optional<bool>)> then) override {
    calls.push_back(
        {std::move(id), std::move(bullets), std::move(from), std::move(options), std::move(then)});
  }
};

struct FakeTargets : ReplyTargets {
  std::shared_ptr<FakeTarget> target = std::make_shared<FakeTarget>();
  std::vector<std::optional<std::string>> asked;
  std::shared_ptr<ReplyTarget> targetFor(const std::optional<std::string>& docID) override {
    asked.push_back(docID);
    return target;
  }
};

// JSON text with "ID" standing for kId.
json::object object(std::string_view text) {
  return json::parse(text::replace_all(text, "ID", kId))->as_object();
}

json::object request(std::string_view id = kId) {
  json::object r = object(
      R"({"doc": {"id": "d1", "title": "Notes"}, "thought": {"id": "t1"},
          "thread": [{"id": "e1", "who": "writer", "text": "Why?"}]})");
  r["requestId"] = id;
  return r;
}

class ClaudeBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root);
    bridge.setEnabled(true);
  }

  fs::path inbox() const { return root / ".quillstone/claude/inbox"; }
  fs::path ignored() const { return inbox() / "ignored"; }
  fs::path replyFile(const std::string& id = kId) const { return inbox() / (id + ".json"); }
  fs::path requestFile(const std::string& id = kId) const {
    return root / ".quillstone/claude/outbox" / (id + ".json");
  }

  json::object askAndRead(const json::object& page) {
    auto [ok, message] = bridge.ask(page);
    EXPECT_TRUE(ok) << message.value_or("");
    return json::parse(read_text(requestFile()))->as_object();
  }
  void reply(std::string_view text, const std::string& id = kId) {
    write_text(replyFile(id), text::replace_all(text, "ID", id));
  }
  // Host log lines without their time.
  std::vector<std::string> logLines() const {
    std::vector<std::string> out = qs::testing::lines_of(read_text(dir / "host-log.txt"));
    for (auto& line : out) line.erase(0, line.find("  ") + 2);
    return out;
  }
  // `name` was refused for `reason` just now: moved aside, with a line in both logs.
  void expectRefused(const std::string& name, const std::string& reason) {
    SCOPED_TRACE(name + ": " + reason);
    EXPECT_FALSE(fs::exists(fs::symlink_status(inbox() / name)));
    EXPECT_TRUE(fs::exists(fs::symlink_status(ignored() / name)));
    EXPECT_TRUE(read_text(ignored() / "log.txt").ends_with("  " + name + "  " + reason + "\n"));
    EXPECT_EQ(logLines().back(), "claude-ignored  req=" + fs::path(name).stem().string() +
                                     "  why=" + text::replace_all(reason, " ", "_"));
  }

  TempDir dir;
  fs::path root = dir / "Writing";
  Prefs prefs{dir / "settings.json"};
  InlineSerialQueue queue;
  HostLog log{dir / "host-log.txt", queue};
  FakeTargets targets;
  ClaudeBridge bridge{[this] { return root; }, prefs, &log, targets};
};

TEST(ClaudeRequestIdTest, AcceptsOnlyRPrefixedUUIDsOfEitherCase) {
  EXPECT_TRUE(ids::is_request_id(kId));
  EXPECT_TRUE(ids::is_request_id("r-0123ABCD-4567-89AB-CDEF-0123456789aB"));
  for (std::string_view bad :
       {"", "0123abcd-4567-89ab-cdef-0123456789ab", "R-0123abcd-4567-89ab-cdef-0123456789ab",
        "r-{0123abcd-4567-89ab-cdef-0123456789ab}", "r-0123abcd-4567-89ab-cdef-0123456789a",
        "r-0123abcd-4567-89ab-cdef-0123456789abc", "r-0123abcg-4567-89ab-cdef-0123456789ab",
        "r-0123abcd45-67-89ab-cdef-0123456789ab", "r-0123abcd-4567-89ab-cdef-0123456789ab\n"}) {
    EXPECT_FALSE(ids::is_request_id(bad)) << bad;
  }
}

TEST_F(ClaudeBridgeTest, AskRefusalsWriteNothing) {
  auto expectFailure = [&](const json::object& page, std::string_view message) {
    EXPECT_EQ(bridge.ask(page), std::pair(false, std::optional<std::string>(message)));
  };
  ASSERT_TRUE(prefs.set("claudeOnMac", 1));  // only the boolean true turns it on
  expectFailure(request(), "Claude on this computer is off. Turn it on in the AI menu.");
  bridge.setEnabled(true);
  expectFailure(request("r-{0123abcd-4567-89ab-cdef-0123456789ab}"),
                "The request had no usable id.");
  for (auto text : {R"({"doc": {"id": 7}, "thought": {"id": "t"}, "thread": [{}]})",
                    R"({"doc": {"id": "d"}, "thread": [{}]})",
                    R"({"doc": {"id": "d"}, "thought": {"id": "t"}, "thread": []})",
                    R"({"doc": {"id": "d"}, "thought": {"id": "t"}, "thread": [{}, "x"]})"}) {
    json::object page = object(text);
    page["requestId"] = kId;
    expectFailure(page, "The request was missing its document, thought or thread.");
  }
  EXPECT_FALSE(fs::exists(root / ".quillstone"));
  EXPECT_FALSE(fs::exists(dir / "host-log.txt"));

  write_text(root / ".quillstone", "a file where the folder should be");
  auto [ok, message] = bridge.ask(request());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(message->starts_with("The request couldn't be written for Claude: ")) << *message;
}

TEST_F(ClaudeBridgeTest, AskWritesTheRequestFileWithItsDefaults) {
  json::object page = object(R"({"requestId": "ID", "doc": {"id": "d1", "title": 42},
      "thought": {"id": "t1"}, "thread": [{"text": "Hi"}, {"id": "e2", "who": "claude"}],
      "reads": "all", "paragraphs": [{"id": "p1", "text": "A"}, {"id": "p2", "index": "x"}],
      "paragraph": {"id": "p1"}, "extra": 1})");
  std::string ghost;
  for (int i = 0; i < 45; ++i) ghost += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // one character
  page["ghost"] = ghost;

  json::object file = askAndRead(page);
  const std::string at(file.at("at").as_string());
  EXPECT_TRUE(at.size() == 20 && at[10] == 'T' && at[19] == 'Z') << at;  // whole seconds
  EXPECT_EQ(file.at("replyTo"), json::value(replyFile().string()));
  file.erase("at");
  file.erase("replyTo");
  EXPECT_EQ(file, object(R"({"v": 1, "requestId": "ID", "doc": {"id": "d1", "title": ""},
      "thought": {"id": "t1"}, "thread": [{"id": "", "who": "writer", "text": "Hi"},
      {"id": "e2", "who": "claude", "text": ""}], "ghost": ")" +
                         ghost.substr(0, 40 * 8) + R"(",
      "paragraphs": [{"id": "p1", "index": 1, "text": "A"}, {"id": "p2", "index": "x", "text": ""}],
      "paragraph": {"id": "p1", "index": null, "text": ""}})"));
  EXPECT_TRUE(fs::is_directory(inbox()));
  EXPECT_TRUE(read_text(requestFile()).starts_with("{\n  \"at\""));  // pretty, keys sorted
  EXPECT_EQ(logLines().back(),
            "claude-ask  doc=d1  paragraphs=2  req=" + kId + "  thought=t1  thread=2");

  page["reads"] = "para";
  page["truncated"] = true;
  file = askAndRead(page);
  EXPECT_FALSE(file.contains("paragraphs"));
  EXPECT_EQ(file.at("truncated"), true);
  EXPECT_TRUE(logLines().back().find("paragraphs=0") != std::string::npos);
}

TEST_F(ClaudeBridgeTest, ExcerptAndLinkedAreCut) {
  auto paragraphs = [&](json::array list) {
    json::object page = request();
    page["paragraphs"] = std::move(list);
    return askAndRead(page);
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
  file = askAndRead(page);
  const auto& written = file.at("linked").as_array();
  ASSERT_EQ(written.size(), 101u);  // l1 and the even entries below 200
  EXPECT_EQ(written[1], object(R"({"id": "l1", "title": ""})"));
  EXPECT_EQ(written.back().at("id"), "l198");
  page["reads"] = "doc";
  EXPECT_FALSE(askAndRead(page).contains("linked"));
}

TEST_F(ClaudeBridgeTest, CancelDeletesOnlyTheRequest) {
  ASSERT_TRUE(bridge.ask(request()).first);
  reply(kReply);
  EXPECT_FALSE(bridge.cancel("r-not-an-id"));
  bridge.setEnabled(false);
  EXPECT_FALSE(bridge.cancel(kId));
  EXPECT_TRUE(fs::exists(requestFile()));
  bridge.setEnabled(true);
  EXPECT_TRUE(bridge.cancel(kId));
  EXPECT_FALSE(fs::exists(requestFile()));
  EXPECT_TRUE(fs::exists(replyFile()));
  EXPECT_TRUE(bridge.cancel(kOtherId));  // nothing to delete is not an error
  EXPECT_EQ(logLines().back(), "claude-cancel  req=" + kOtherId);
  bridge.processInbox();
  expectRefused(kName, kNothingWaiting);
}

TEST_F(ClaudeBridgeTest, EveryRefusalMovesTheReplyAsideWithItsReason) {
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
  std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"v": 1,)", "it isn't JSON"},
      {R"([1])", "it isn't JSON"},
      {R"({"requestId": "ID", "bullets": ["x"]})", "it isn't version 1"},
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
  for (std::string version : {R"("1")", "true", "1.5"}) {
    cases.emplace_back(R"({"v": )" + version + R"(, "requestId": "ID", "bullets": ["x"]})",
                       "it isn't version 1");
  }
  ASSERT_TRUE(bridge.ask(request()).first);
  for (const auto& [body, reason] : cases) {
    reply(body);
    bridge.processInbox();
    expectRefused(kName, reason);
    EXPECT_TRUE(fs::exists(requestFile()));  // kept for a corrected reply
  }
  EXPECT_TRUE(targets.target->calls.empty());
  EXPECT_EQ(count_of(read_text(ignored() / "log.txt"), "\n"), cases.size());

  write_text(inbox() / "notes.json", "{}");
  write_text(inbox() / "notes.JSON", "{}");
  bridge.processInbox();
  expectRefused("notes.json", "its name isn't a request id");
  EXPECT_TRUE(fs::exists(inbox() / "notes.JSON"));
}

TEST_F(ClaudeBridgeTest, AcceptedRepliesReachThePageAndRemoveBothFiles) {
  ASSERT_TRUE(bridge.ask(request()).first);
  ASSERT_TRUE(bridge.ask(request(kOtherId)).first);
  std::string emoji;
  for (int i = 0; i < 2000; ++i) emoji += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // 2000 characters
  reply(R"({"v": 1.0, "requestId": "ID", "bullets": ["a", ")" + emoji + R"("], "from": ")" +
        std::string(200, 'f') + "\"}");
  reply(R"({"v": 1, "requestId": "ID", "from": 7, "placements": [
      {"paragraphId": "p1", "bullets": ["a"], "docId": "d1"},
      {"paragraphId": "p2", "bullets": ["b", "c"]}]})",
        kOtherId);
  bridge.processInbox();

  auto& calls = targets.target->calls;
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].id, kId);
  EXPECT_EQ(calls[0].bullets.size(), 2u);
  EXPECT_EQ(calls[0].from, std::string(120, 'f'));
  EXPECT_TRUE(calls[0].options.empty());
  EXPECT_EQ(calls[1].bullets, json::array{});
  EXPECT_EQ(calls[1].from, "Claude");
  EXPECT_EQ(calls[1].options, object(R"({"placements": [{"paragraphId": "p1", "bullets": ["a"]},
      {"paragraphId": "p2", "bullets": ["b", "c"]}]})"));
  EXPECT_EQ(targets.asked, (std::vector<std::optional<std::string>>{"d1", "d1"}));

  bridge.processInbox();  // in flight: passed over
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_TRUE(bridge.isWorking(kId));
  calls[0].then(true);
  EXPECT_FALSE(bridge.isWorking(kId));
  EXPECT_FALSE(fs::exists(replyFile()));
  EXPECT_FALSE(fs::exists(requestFile()));
  EXPECT_EQ(logLines().back(),
            "claude-reply  bullets=2  doc=d1  empty=false  placements=0  req=" + kId);
  calls[1].then(true);
  EXPECT_EQ(logLines().back(),
            "claude-reply  bullets=0  doc=d1  empty=false  placements=2  req=" + kOtherId);

  ASSERT_TRUE(bridge.ask(request()).first);
  reply(R"({"v": 1, "requestId": "ID", "bullets": [], "empty": true})");
  bridge.processInbox();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].options, object(R"({"empty": true})"));
  calls[2].then(true);

  // A byte order mark, deep nesting or great length still leave a reply JSON.
  const std::string start = text::replace_all(kReply, "}", R"(, "extra": )");
  for (const std::string& text :
       {"\xEF\xBB\xBF" + start + "0}", start + std::string(100, '[') + std::string(100, ']') + "}",
        start + "\"" + std::string(6'000'000, 'x') + "\"}"}) {
    ASSERT_TRUE(bridge.ask(request()).first);
    reply(text);
    bridge.processInbox();
    ASSERT_EQ(calls.size(), 4u) << text.substr(0, 60);
    calls.back().then(true);
    calls.pop_back();
    EXPECT_FALSE(fs::exists(replyFile()));
  }

  reply(R"({"v": 1, "requestId": "ID", "bullets": ["again"]})");  // already answered
  bridge.processInbox();
  expectRefused(kName, kNothingWaiting);
}

// The page's answer, or its window's absence, decides what becomes of a reply.
TEST_F(ClaudeBridgeTest, TheWindowDecidesTheReplysFate) {
  ASSERT_TRUE(bridge.ask(request()).first);
  reply(kReply);
  auto calls = [&]() -> auto& {
    return targets.target->calls;
  };
  targets.target->isLoaded = false;
  bridge.processInbox();
  EXPECT_TRUE(calls().empty());
  EXPECT_FALSE(bridge.isWorking(kId));
  EXPECT_EQ(logLines().back(), "claude-reply-waits  req=" + kId);

  // No window at all, or the feature off: left alone, and nothing logged.
  const std::size_t lines = logLines().size();
  auto target = std::exchange(targets.target, nullptr);
  bridge.processInbox();
  targets.target = std::move(target);
  targets.target->isLoaded = true;
  bridge.setEnabled(false);
  bridge.processInbox();
  bridge.setEnabled(true);
  EXPECT_TRUE(fs::exists(replyFile()));
  EXPECT_EQ(logLines().size(), lines);
  EXPECT_TRUE(calls().empty());

  bridge.processInbox();
  ASSERT_EQ(calls().size(), 1u);
  calls()[0].then(std::nullopt);  // silence: both files wait
  EXPECT_TRUE(fs::exists(replyFile()) && fs::exists(requestFile()));
  EXPECT_EQ(logLines().back(), "claude-reply-waits  req=" + kId);

  // The window closes unanswered: its reply goes to the next, and its late answer is ignored.
  bridge.processInbox();
  auto late = calls().at(1).then;
  targets.target = std::make_shared<FakeTarget>();
  bridge.processInbox();
  ASSERT_EQ(calls().size(), 1u);
  late(false);
  EXPECT_TRUE(fs::exists(replyFile()));
  {
    ClaudeBridge gone([this] { return root; }, prefs, &log, targets);
    targets.target = std::make_shared<FakeTarget>();
    gone.processInbox();
    late = calls().at(0).then;
  }
  late(true);  // that bridge is gone: nothing happens
  EXPECT_TRUE(fs::exists(replyFile()));

  write_text(requestFile(), "{broken");
  bridge.processInbox();
  EXPECT_EQ(targets.asked.back(), std::nullopt);  // the window side picks the key window
  ASSERT_EQ(calls().size(), 2u);
  calls()[1].then(false);
  expectRefused(kName, "the page didn't take it (no thought or document knows this request)");
  EXPECT_FALSE(fs::exists(requestFile()));
  calls()[1].then(true);  // a second answer changes nothing
  EXPECT_TRUE(fs::exists(ignored() / kName));
}

TEST(ClaudeReplyTargetTest, DocumentWindowThenKeyThenFirst) {
  const std::vector<std::optional<std::string>> windows = {std::nullopt, "a", "b", "a"};
  EXPECT_EQ(replyTargetIndex(windows, 2, "a"), 1u);
  EXPECT_EQ(replyTargetIndex(windows, 2, "gone"), 2u);
  EXPECT_EQ(replyTargetIndex(windows, 3, std::nullopt), 3u);  // not the window showing nothing
  EXPECT_EQ(replyTargetIndex(windows, 9, "gone"), 0u);
  EXPECT_EQ(replyTargetIndex({}, std::nullopt, "a"), std::nullopt);
}

TEST_F(ClaudeBridgeTest, HostileReplyFilesAreRefusedWithoutHarm) {
  ASSERT_TRUE(bridge.ask(request()).first);
  const std::string valid =
      text::replace_all(R"({"v": 1, "requestId": "ID", "bullets": ["x"]})", "ID", kId);
  for (const std::string& body :
       {R"({"v": 1, "requestId": "ID", "bullets": ["x"], "pad": ")" + std::string(10'000'000, 'x') +
            "\"}",
        std::string(100'000, '[') + std::string(100'000, ']'),
        std::string(R"({"v": 1, "requestId": "ID", "bullets": ["bad \xC3\x28 byte"]})")}) {
    reply(body);
    bridge.processInbox();
    expectRefused(kName, "it isn't JSON");
  }
  ASSERT_EQ(::mkfifo(replyFile().c_str(), 0600), 0);  // must not block the main thread
  bridge.processInbox();
  expectRefused(kName, "it isn't JSON");

  // Links to a file outside the inbox: the links are moved aside, the file stays as it was.
  const fs::path outside = dir / "outside.json";
  write_text(outside, valid);
  fs::create_symlink(outside, replyFile());
  bridge.processInbox();
  expectRefused(kName, "it isn't JSON");
  EXPECT_TRUE(fs::is_symlink(ignored() / kName));
  fs::create_symlink(outside, inbox() / "notes.json");
  bridge.processInbox();
  expectRefused("notes.json", "its name isn't a request id");
  EXPECT_EQ(read_text(outside), valid);

  // Folders named like replies are refused like any other entry; "../" never leaves the inbox.
  fs::create_directories(inbox() / "x.json");
  bridge.processInbox();
  expectRefused("x.json", "its name isn't a request id");
  write_text(replyFile() / "inside", "x");
  write_text(root / ".quillstone/claude" / kName, valid);
  bridge.processInbox();
  expectRefused(kName, "it isn't JSON");
  EXPECT_EQ(read_text(ignored() / kName / "inside"), "x");
  const std::size_t lines = logLines().size();
  bridge.take(inbox() / ".." / kName);
  EXPECT_EQ(read_text(root / ".quillstone/claude" / kName), valid);
  EXPECT_EQ(logLines().size(), lines);

  // Names that would break a log line are escaped in both logs.
  write_text(inbox() / "two\nlines.json", "{}");
  write_text(inbox() / "bad\xFF\x01.json", "{}");
  write_text(inbox() / "\xE2\x80\xAEnosj.exe.json", "{}");  // U+202E turns the rest around
  bridge.processInbox();
  EXPECT_TRUE(fs::exists(ignored() / "two\nlines.json"));
  EXPECT_TRUE(fs::exists(ignored() / "bad\xFF\x01.json"));
  const std::string ignoredLog = read_text(ignored() / "log.txt");
  EXPECT_NE(ignoredLog.find("  two\\nlines.json  its name isn't a request id\n"), ignoredLog.npos);
  EXPECT_NE(ignoredLog.find("  bad\\xFF\\x01.json  its name"), ignoredLog.npos);
  EXPECT_NE(ignoredLog.find("  \\u202Enosj.exe.json  its name"), ignoredLog.npos);
  EXPECT_NE(read_text(dir / "host-log.txt").find("req=two\\nlines  why="), std::string::npos);

  // A log that is a link is not written through; a later file of a refused name replaces the
  // first. (A linked "ignored/" itself is among the links of the next test.)
  const fs::path elsewhere = dir / "elsewhere";
  write_text(elsewhere / "log.txt", "theirs\n");
  fs::remove(ignored() / "log.txt");
  fs::create_symlink(elsewhere / "log.txt", ignored() / "log.txt");
  for (const char* text : {"first", "second"}) {
    write_text(inbox() / "notes.json", text);
    bridge.processInbox();
  }
  expectRefused("notes.json", "its name isn't a request id");
  EXPECT_EQ(read_text(ignored() / "notes.json"), "second");
  EXPECT_EQ(read_text(elsewhere / "log.txt"), "theirs\n");
  EXPECT_EQ(count_of(read_text(ignored() / "log.txt"), "\n"), 2u);
}

// Another program may put a link anywhere among the exchange's folders. Nothing is read,
// written or deleted through it, and the refusal is said once on standard error. The writing
// folder itself may be a link, and is followed.
TEST_F(ClaudeBridgeTest, LinksAmongTheExchangeFoldersAreNeverFollowed) {
  const std::map<std::string, std::string> files = {
      {".quillstone/claude/outbox/" + kName, R"({"doc": {"id": "d1"}})"},
      {".quillstone/claude/inbox/" + kName,
       text::replace_all(R"({"v": 1, "requestId": "ID", "bullets": ["x"]})", "ID", kId)},
      {".quillstone/claude/inbox/notes.json", "{}"}};
  const std::string ignoredLink = ".quillstone/claude/inbox/ignored";
  for (const std::string& link : {std::string(".quillstone"), std::string(".quillstone/claude"),
                                  std::string(".quillstone/claude/outbox"),
                                  std::string(".quillstone/claude/inbox"), ignoredLink}) {
    SCOPED_TRACE(link);
    TempDir elsewhere;
    fs::remove_all(root / ".quillstone");
    for (const auto& [path, text] : files) {
      const bool behind = path.starts_with(link + "/");
      write_text(behind ? elsewhere / path.substr(link.size() + 1) : root / path, text);
    }
    fs::create_directories((root / link).parent_path());
    fs::create_directory_symlink(elsewhere.path(), root / link);
    const auto before = qs::testing::tree(elsewhere.path());
    targets.target->calls.clear();

    ::testing::internal::CaptureStderr();
    const auto [asked, message] = bridge.ask(request());
    bridge.processInbox();
    EXPECT_TRUE(bridge.cancel(kId));
    bridge.processInbox();
    const std::string said = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(qs::testing::tree(elsewhere.path()), before);
    EXPECT_EQ(asked, link == ignoredLink);
    if (!asked) {
      EXPECT_EQ(*message, "The request couldn't be written for Claude: " + link +
                              " in the writing folder is a symbolic link");
    }
    // Only the reply in the real inbox reaches the page; what can't be moved aside stays.
    EXPECT_EQ(targets.target->calls.size(), link == ignoredLink ? 1u : 0u);
    if (link == ignoredLink) {
      EXPECT_TRUE(fs::exists(inbox() / "notes.json"));
    }
    EXPECT_EQ(count_of(said, "\n"), 1u) << said;
    EXPECT_TRUE(said.starts_with("Quillstone: ") && said.find(link) != said.npos) << said;
  }

  TempDir synced;
  fs::remove_all(root);
  fs::create_directory_symlink(synced.path(), root);
  ASSERT_TRUE(bridge.ask(request()).first);
  EXPECT_TRUE(fs::exists(synced / (".quillstone/claude/outbox/" + kName)));
}

// A reply that can't be moved aside (here "ignored/" holds a folder of its name) stays in the
// inbox. It is refused once for each version of the file, and the refusal's own writes to
// "ignored/" start no new pass.
TEST_F(ClaudeBridgeTest, AReplyThatCantBeMovedAsideIsRefusedOncePerVersion) {
  write_text(ignored() / "notes.json" / "kept", "");
  write_text(inbox() / "notes.json", "{}");
  qs::testing::RealTimeLoop loop;
  library::InotifyWatcher watcher(loop);
  ASSERT_TRUE(watcher.start(root, [&](std::vector<std::string> paths, bool) {
    // As the application wires the folder watch to the bridge.
    if (std::any_of(paths.begin(), paths.end(), ClaudeBridge::isInboxPath)) bridge.processInbox();
  }));
  auto refusals = [&] { return count_of(read_text(ignored() / "log.txt"), "notes.json"); };

  bridge.processInbox();
  loop.runFor(500ms);
  EXPECT_EQ(refusals(), 1u);
  EXPECT_EQ(count_of(read_text(dir / "host-log.txt"), "claude-ignored"), 1u);
  EXPECT_TRUE(fs::exists(inbox() / "notes.json"));

  write_text(inbox() / "notes.json", "{\"v\": 2}");  // a new version: refused anew
  EXPECT_TRUE(loop.runUntil([&] { return refusals() == 2; }));
  loop.runFor(500ms);
  EXPECT_EQ(refusals(), 2u);

  // With "ignored" a file nothing can be moved or logged there; the host log says it once.
  // Once the way is clear, a pass moves it aside and writes its line.
  fs::remove_all(ignored());
  write_text(ignored(), "a file");
  write_text(inbox() / "other.json", "{}");
  bridge.processInbox();
  bridge.processInbox();
  EXPECT_EQ(count_of(read_text(dir / "host-log.txt"), "claude-ignored"), 3u);
  fs::remove(ignored());
  bridge.processInbox();
  EXPECT_EQ(count_of(read_text(ignored() / "log.txt"), "other.json"), 1u);
  EXPECT_TRUE(fs::exists(ignored() / "other.json") && fs::exists(ignored() / "notes.json"));
  EXPECT_EQ(count_of(read_text(dir / "host-log.txt"), "claude-ignored"), 3u);
  EXPECT_FALSE(ClaudeBridge::isInboxPath((ignored() / "log.txt").string()));
  EXPECT_TRUE(ClaudeBridge::isInboxPath((inbox() / "notes.json").string()));
}

}  // namespace
}  // namespace qs::claude
