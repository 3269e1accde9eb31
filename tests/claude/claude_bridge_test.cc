// The exchange with Claude through files in the writing folder, and what is checked before a
// request file is written or a reply reaches a page.
#include "claude/claude_bridge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <utility>

#include "claude/reply_check.h"
#include "core/host_log.h"
#include "core/text.h"
#include "platform/prefs.h"
#include "support/temp_dir.h"

namespace qs::claude {
namespace {

namespace fs = std::filesystem;
using qs::testing::readText;
using qs::testing::writeText;

const std::string kId = "r-0123abcd-4567-89ab-cdef-0123456789ab";
const std::string kOtherId = "r-ffffffff-0000-1111-2222-333333333333";
const std::string kName = kId + ".json";
const std::string kReply = R"({"v": 1, "requestId": "ID", "bullets": ["x"]})";

struct FakeTarget : ReplyTarget {
  struct Call {
    std::string id;
    json::array bullets;
    std::function<void(std::optional<bool>)> then;
  };
  bool isLoaded = true;
  std::vector<Call> calls;

  bool loaded() const override { return isLoaded; }
  void claudeReply(std::string id, json::array bullets, std::string, json::object,
                   std::function<void(std::optional<bool>)> then) override {
    calls.push_back({std::move(id), std::move(bullets), std::move(then)});
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

json::object request(std::string_view id = kId) {
  json::object r = qs::testing::object(
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
  fs::path outbox() const { return root / ".quillstone/claude/outbox"; }
  fs::path requestFile(const std::string& id = kId) const { return outbox() / (id + ".json"); }
  std::vector<FakeTarget::Call>& calls() { return targets.target->calls; }

  void reply(std::string_view text, const std::string& id = kId) {
    writeText(replyFile(id), text::replaceAll(text, "ID", id));
  }
  // Host log lines without their time.
  std::vector<std::string> logLines() const {
    std::vector<std::string> out = qs::testing::linesOf(readText(dir / "host-log.txt"));
    for (auto& line : out) line.erase(0, line.find("  ") + 2);
    return out;
  }
  // `name` was refused for `reason` just now: moved aside, with a line in both logs.
  void expectRefused(const std::string& name, const std::string& reason) {
    SCOPED_TRACE(name + ": " + reason);
    EXPECT_FALSE(fs::exists(fs::symlink_status(inbox() / name)));
    EXPECT_TRUE(fs::exists(fs::symlink_status(ignored() / name)));
    EXPECT_TRUE(readText(ignored() / "log.txt").ends_with("  " + name + "  " + reason + "\n"));
    EXPECT_EQ(logLines().back(), "claude-ignored  req=" + fs::path(name).stem().string() +
                                     "  why=" + text::replaceAll(reason, " ", "_"));
  }

  qs::testing::TempDir dir;
  fs::path root = dir / "Writing";
  Prefs prefs{dir / "settings.json"};
  InlineSerialQueue queue;
  HostLog log{dir / "host-log.txt", queue};
  FakeTargets targets;
  ClaudeBridge bridge{[this] { return root; }, dir / "Support", prefs, &log, targets};
};

// A reply reaches its document's window once; the page's answer, or its window's absence,
// decides what becomes of it. Nothing is written for a request that fails its checks; each step
// has its line in the host log.
TEST_F(ClaudeBridgeTest, TheWindowDecidesTheReplysFate) {
  using Answer = std::pair<bool, std::optional<std::string>>;
  json::object bare = request();
  bare["thread"] = json::array{};
  EXPECT_EQ(
      std::tuple(bridge.ask(request("r-{0123abcd-4567-89ab-cdef-0123456789ab}")), bridge.ask(bare)),
      std::tuple(Answer(false, "The request had no usable id."),
                 Answer(false, "The request was missing its document, thought or thread.")));
  EXPECT_FALSE(fs::exists(root / ".quillstone") || fs::exists(dir / "host-log.txt"));
  ASSERT_TRUE(bridge.ask(request()).first && bridge.ask(request(kOtherId)).first);
  EXPECT_EQ(logLines().back(),
            "claude-ask  doc=d1  paragraphs=0  req=" + kOtherId + "  thought=t1  thread=1");
  reply(R"({"v": 1, "requestId": "ID", "bullets": ["a", "b"], "from": "Ann"})");
  reply(kReply, kOtherId);
  targets.target->isLoaded = false;
  bridge.processInbox();
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(logLines().back(), "claude-reply-waits  req=" + kOtherId);

  targets.target->isLoaded = true;
  bridge.processInbox();
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(std::tuple(calls()[0].bullets, targets.asked.back()),
            std::tuple(json::array{"a", "b"}, "d1"));
  bridge.processInbox();  // in flight: passed over
  EXPECT_EQ(std::tuple(calls().size(), bridge.isWorking(kId)), std::tuple(2u, true));
  calls()[0].then(true);
  EXPECT_FALSE(bridge.isWorking(kId) || fs::exists(replyFile()) || fs::exists(requestFile()));
  EXPECT_EQ(logLines().back(),
            "claude-reply  bullets=2  doc=d1  empty=false  placements=0  req=" + kId);
  calls()[1].then(std::nullopt);  // silence: both files wait
  EXPECT_TRUE(fs::exists(replyFile(kOtherId)) && fs::exists(requestFile(kOtherId)));
  // The window closes unanswered: its reply goes to the next, and its late answer is ignored.
  bridge.processInbox();
  auto late = calls().at(2).then;
  targets.target = std::make_shared<FakeTarget>();
  bridge.processInbox();
  ASSERT_EQ(calls().size(), 1u);
  late(false);
  EXPECT_TRUE(fs::exists(replyFile(kOtherId)));
  {
    ClaudeBridge gone([this] { return root; }, dir / "Support", prefs, &log, targets);
    targets.target = std::make_shared<FakeTarget>();
    gone.processInbox();
    late = calls().at(0).then;
  }
  late(true);  // that bridge is gone: nothing happens
  EXPECT_TRUE(fs::exists(replyFile(kOtherId)));

  writeText(requestFile(kOtherId), "{broken");
  bridge.processInbox();
  EXPECT_EQ(targets.asked.back(), std::nullopt);  // the window side picks the key window
  ASSERT_EQ(calls().size(), 2u);
  calls()[1].then(false);
  expectRefused(kOtherId + ".json",
                "the page didn't take it (no thought or document knows this request)");
  EXPECT_FALSE(fs::exists(requestFile(kOtherId)));
  calls()[1].then(true);  // a second answer changes nothing
  EXPECT_TRUE(fs::exists(ignored() / (kOtherId + ".json")));

  // Withdrawn: the request goes, and a later reply finds nothing waiting.
  ASSERT_TRUE(bridge.ask(request()).first);
  reply(kReply);
  EXPECT_TRUE(bridge.cancel(kId) && !fs::exists(requestFile()) && fs::exists(replyFile()));
  EXPECT_EQ(logLines().back(), "claude-cancel  req=" + kId);
  bridge.processInbox();
  expectRefused(kName, "no request is waiting for it (never sent, cancelled, or already answered)");
}

// Reply files are untrusted: too large, a pipe, a link to a file elsewhere, a name with "../".
// None is read, written or moved outside the inbox, and a log that is a link is not written
// through. The request is kept for a corrected reply.
TEST_F(ClaudeBridgeTest, HostileReplyFilesAreRefusedWithoutHarm) {
  ASSERT_TRUE(bridge.ask(request()).first);
  const std::string valid = text::replaceAll(kReply, "ID", kId);
  reply(R"({"v": 1, "requestId": "ID", "bullets": ["x"], "pad": ")" + std::string(10'000'000, 'x') +
        "\"}");
  bridge.processInbox();
  expectRefused(kName, "it isn't JSON");
  ASSERT_EQ(::mkfifo(replyFile().c_str(), 0600), 0);
  bridge.processInbox();
  expectRefused(kName, "it isn't JSON");
  const fs::path outside = dir / "outside.json";
  writeText(outside, valid);
  fs::create_symlink(outside, replyFile());
  bridge.processInbox();
  EXPECT_TRUE(fs::is_symlink(ignored() / kName));
  expectRefused(kName, "it isn't JSON");
  EXPECT_TRUE(readText(outside) == valid && fs::exists(requestFile()));

  writeText(root / ".quillstone/claude" / kName, valid);
  const std::size_t lines = logLines().size();
  bridge.take(inbox() / ".." / kName);
  EXPECT_EQ(std::tuple(readText(root / ".quillstone/claude" / kName), logLines().size()),
            std::tuple(valid, lines));

  writeText(dir / "elsewhere.txt", "theirs\n");
  fs::remove(ignored() / "log.txt");
  fs::create_symlink(dir / "elsewhere.txt", ignored() / "log.txt");
  writeText(inbox() / "notes.json", "{}");
  bridge.processInbox();
  expectRefused("notes.json", "its name isn't a request id");
  EXPECT_EQ(readText(dir / "elsewhere.txt"), "theirs\n");
}

TEST(ClaudeReplyTargetTest, DocumentWindowThenKeyThenFirst) {
  // The key window for a request of no document, not the window showing nothing.
  const std::vector<std::optional<std::string>> windows = {std::nullopt, "a", "b", "a"};
  EXPECT_EQ((std::vector<std::optional<std::size_t>>{
                replyTargetIndex(windows, 2, "a"), replyTargetIndex(windows, 2, "gone"),
                replyTargetIndex(windows, 3, std::nullopt), replyTargetIndex(windows, 9, "gone"),
                replyTargetIndex({}, std::nullopt, "a")}),
            (std::vector<std::optional<std::size_t>>{1, 2, 3, 0, std::nullopt}));
}

// Another program may put a link anywhere among the exchange's folders. Nothing is read,
// written or deleted through it, and the refusal is said once on standard error. The writing
// folder itself may be a link, and is followed.
TEST_F(ClaudeBridgeTest, LinksAmongTheExchangeFoldersAreNeverFollowed) {
  const std::map<std::string, std::string> files = {
      {".quillstone/claude/outbox/" + kName, R"({"doc": {"id": "d1"}})"},
      {".quillstone/claude/inbox/" + kName, text::replaceAll(kReply, "ID", kId)},
      {".quillstone/claude/inbox/notes.json", "{}"}};
  const std::string ignoredLink = ".quillstone/claude/inbox/ignored";
  for (const std::string link : {".quillstone", ".quillstone/claude", ".quillstone/claude/outbox",
                                 ".quillstone/claude/inbox", ignoredLink.c_str()}) {
    SCOPED_TRACE(link);
    qs::testing::TempDir elsewhere;
    fs::remove_all(root / ".quillstone");
    for (const auto& [path, text] : files) {
      const bool behind = path.starts_with(link + "/");
      writeText(behind ? elsewhere / path.substr(link.size() + 1) : root / path, text);
    }
    fs::create_directories((root / link).parent_path());
    fs::create_directory_symlink(elsewhere.path(), root / link);
    const auto before = qs::testing::tree(elsewhere.path());
    calls().clear();

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
    EXPECT_EQ(calls().size(), link == ignoredLink ? 1u : 0u);
    EXPECT_TRUE(link != ignoredLink || fs::exists(inbox() / "notes.json"));
    EXPECT_EQ(qs::testing::countOf(said, "\n"), 1u) << said;
    EXPECT_TRUE(said.starts_with("Quillstone: ") && said.find(link) != said.npos) << said;
  }

  qs::testing::TempDir synced;
  fs::remove_all(root);
  fs::create_directory_symlink(synced.path(), root);
  ASSERT_TRUE(bridge.ask(request()).first);
  EXPECT_TRUE(fs::exists(synced / (".quillstone/claude/outbox/" + kName)));
}

TEST(ClaudeOwnRequestsTest, TheRecordKeepsTheNewestAndThoseStillWaiting) {
  using Ids = std::vector<std::string>;
  // The last: asked again.
  EXPECT_EQ(
      (std::vector<Ids>{recordAfter({"a", "b"}, "c", {}, 3),
                        recordAfter({"a", "b", "c"}, "d", {}, 3),
                        recordAfter({"a", "b", "c"}, "d", {"a", "z"}, 3),
                        recordAfter({"a", "b", "c"}, "a", {}, 3)}),
      (std::vector<Ids>{{"a", "b", "c"}, {"b", "c", "d"}, {"a", "b", "c", "d"}, {"b", "c", "a"}}));
}

// The first run of a version that keeps a record: a request already in the outbox counts as
// ours when its "replyTo" is our inbox; another computer's names its own, and its request and
// reply are left to it.
TEST_F(ClaudeBridgeTest, RequestsFromBeforeTheRecordAreOursWhenTheyNameOurInbox) {
  ASSERT_TRUE(bridge.ask(request()).first && bridge.ask(request(kOtherId)).first);
  writeText(requestFile(kOtherId),
            text::replaceAll(readText(requestFile(kOtherId)), root.string(), "/elsewhere"));
  const fs::path record = dir / "Support" / "claude-requests.json";
  fs::remove(record);
  reply(kReply);
  reply(kReply, kOtherId);
  bridge.processInbox();
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].id, kId);
  EXPECT_TRUE(fs::exists(replyFile(kOtherId)));
  EXPECT_TRUE(bridge.cancel(kOtherId) && fs::exists(requestFile(kOtherId)));  // not withdrawn
  EXPECT_EQ(json::parse(readText(record))->at("requests"), json::array{kId});
}

// What is checked before a reply reaches a page; "ID" stands for kId.
TEST(ClaudeReplyCheckTest, EachRefusalGivesItsReason) {
  using Checked = std::variant<Reply, std::string>;
  auto v1 = [](const std::string& rest) { return R"({"v": 1, "requestId": "ID", )" + rest + "}"; };
  auto placed = [&](const std::string& bullets, std::string extra = "", std::string id = "p") {
    return v1(R"("placements": [{"paragraphId": ")" + id + R"(", "bullets": [)" + bullets + "]" +
              extra + "}]");
  };
  std::string fifty = R"({"paragraphId": "p", "bullets": ["x"]})";
  for (int i = 0; i < 50; ++i) fifty += R"(,{"paragraphId": "p", "bullets": ["x"]})";
  const std::string long2001 = "\"" + std::string(2001, 'b') + "\"";
  const std::string eleven = R"("b")" + text::replaceAll(std::string(10, ','), ",", R"(,"b")");
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
    EXPECT_EQ(checkReply(kId, text::replaceAll(body, "ID", kId), "d1"), Checked(reason))
        << body.substr(0, 80);
  }
  EXPECT_EQ(checkReply(kId, std::nullopt, "d1"), Checked("it isn't JSON"));
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

}  // namespace
}  // namespace qs::claude
