// The exchange with Claude through files in the writing folder, and what is checked before a
// request file is written or a reply reaches a page.
#include "claude/claude_bridge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <utility>

#include "claude/reply_check.h"
#include "claude/request_file.h"
#include "core/host_log.h"
#include "core/ids.h"
#include "core/text.h"
#include "library/inotify_watcher.h"
#include "platform/prefs.h"
#include "support/real_time_loop.h"
#include "support/temp_dir.h"

namespace qs::claude {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::testing::countOf;
using qs::testing::readText;
using qs::testing::TempDir;
using qs::testing::writeText;

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
    json::object options;
    std::function<void(std::optional<bool>)> then;
  };
  bool isLoaded = true;
  std::vector<Call> calls;

  bool loaded() const override { return isLoaded; }
  void claudeReply(std::string id, json::array bullets, std::string, json::object options,
                   std::function<void(std::optional<bool>)> then) override {
    calls.push_back({std::move(id), std::move(bullets), std::move(options), std::move(then)});
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
  fs::path requestFile(const std::string& id = kId) const {
    return root / ".quillstone/claude/outbox" / (id + ".json");
  }
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

  TempDir dir;
  fs::path root = dir / "Writing";
  Prefs prefs{dir / "settings.json"};
  InlineSerialQueue queue;
  HostLog log{dir / "host-log.txt", queue};
  FakeTargets targets;
  ClaudeBridge bridge{[this] { return root; }, dir / "Support", prefs, &log, targets};
};

TEST_F(ClaudeBridgeTest, AskAndCancelOrTheirRefusals) {
  ASSERT_TRUE(prefs.set("claudeOnMac", 1));  // only the boolean true turns it on
  using Answer = std::pair<bool, std::optional<std::string>>;
  EXPECT_EQ(bridge.ask(request()),
            Answer(false, "Claude on this computer is off. Turn it on in the AI menu."));
  EXPECT_FALSE(bridge.cancel(kId));
  bridge.setEnabled(true);
  EXPECT_EQ(bridge.ask(request("r-{0123abcd-4567-89ab-cdef-0123456789ab}")),
            Answer(false, "The request had no usable id."));
  EXPECT_FALSE(fs::exists(root / ".quillstone") || fs::exists(dir / "host-log.txt"));

  json::object page = request();
  page["paragraphs"] = json::array{json::object{{"id", "p1"}}, json::object{{"id", "p2"}}};
  ASSERT_EQ(bridge.ask(page), Answer(true, std::nullopt));
  const std::string at(json::parse(readText(requestFile()))->at("at").as_string());
  EXPECT_TRUE(at.size() == 20 && at[10] == 'T' && at[19] == 'Z') << at;  // whole seconds
  EXPECT_TRUE(readText(requestFile()).starts_with("{\n  \"at\""));       // pretty, keys sorted
  EXPECT_EQ(logLines().back(),
            "claude-ask  doc=d1  paragraphs=2  req=" + kId + "  thought=t1  thread=1");

  reply(kReply);
  EXPECT_FALSE(bridge.cancel("r-not-an-id"));
  EXPECT_TRUE(bridge.cancel(kId) && !fs::exists(requestFile()) && fs::exists(replyFile()));
  EXPECT_TRUE(bridge.cancel(kOtherId));  // nothing to delete is not an error
  EXPECT_EQ(logLines().back(), "claude-cancel  req=" + kOtherId);
  bridge.processInbox();
  expectRefused(kName, kNothingWaiting);

  fs::remove_all(root / ".quillstone");
  writeText(root / ".quillstone", "a file where the folder should be");
  const auto [ok, message] = bridge.ask(request());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(message->starts_with("The request couldn't be written for Claude: ")) << *message;
}

// A reply reaches its document's window once; the page's answer, or its window's absence,
// decides what becomes of it.
TEST_F(ClaudeBridgeTest, TheWindowDecidesTheReplysFate) {
  ASSERT_TRUE(bridge.ask(request()).first);
  ASSERT_TRUE(bridge.ask(request(kOtherId)).first);
  reply(R"({"v": 1, "requestId": "ID", "bullets": ["a", "b"], "from": "Ann"})");
  reply(R"({"v": 1, "requestId": "ID", "bullets": [], "empty": true, "placements": [
      {"paragraphId": "p1", "bullets": ["a"]}, {"paragraphId": "p2", "bullets": ["b"]}]})",
        kOtherId);
  targets.target->isLoaded = false;
  bridge.processInbox();
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(logLines().back(), "claude-reply-waits  req=" + kOtherId);

  targets.target->isLoaded = true;
  bridge.processInbox();
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(std::tuple(calls()[0].bullets, calls()[1].options.at("placements").as_array().size(),
                       targets.asked.back()),
            std::tuple(json::array{"a", "b"}, 2u, "d1"));
  bridge.processInbox();  // in flight: passed over
  EXPECT_EQ(calls().size(), 2u);
  EXPECT_TRUE(bridge.isWorking(kId));
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

TEST_F(ClaudeBridgeTest, HostileReplyFilesAreRefusedWithoutHarm) {
  ASSERT_TRUE(bridge.ask(request()).first);
  const std::string valid = text::replaceAll(kReply, "ID", kId);
  // Larger than a reply is read; a pipe, which must not block the main thread.
  reply(R"({"v": 1, "requestId": "ID", "bullets": ["x"], "pad": ")" + std::string(10'000'000, 'x') +
        "\"}");
  bridge.processInbox();
  expectRefused(kName, "it isn't JSON");
  ASSERT_EQ(::mkfifo(replyFile().c_str(), 0600), 0);
  bridge.processInbox();
  expectRefused(kName, "it isn't JSON");

  // Links to a file outside the inbox: the links are moved aside, the file stays as it was.
  const fs::path outside = dir / "outside.json";
  writeText(outside, valid);
  fs::create_symlink(outside, replyFile());
  fs::create_symlink(outside, inbox() / "notes.json");
  writeText(inbox() / "notes.JSON", "{}");  // not a "*.json" name: not looked at
  bridge.processInbox();
  EXPECT_TRUE(fs::is_symlink(ignored() / kName) && fs::is_symlink(ignored() / "notes.json"));
  expectRefused(kName, "it isn't JSON");
  EXPECT_EQ(readText(outside), valid);
  // The request is kept for a corrected reply.
  EXPECT_TRUE(fs::exists(inbox() / "notes.JSON") && fs::exists(requestFile()));

  // Folders named like replies are refused like any other entry; "../" never leaves the inbox.
  writeText(replyFile() / "inside", "x");
  writeText(root / ".quillstone/claude" / kName, valid);
  bridge.processInbox();
  expectRefused(kName, "it isn't JSON");
  EXPECT_EQ(readText(ignored() / kName / "inside"), "x");
  const std::size_t lines = logLines().size();
  bridge.take(inbox() / ".." / kName);
  EXPECT_EQ(readText(root / ".quillstone/claude" / kName), valid);
  EXPECT_EQ(logLines().size(), lines);

  // A log that is a link is not written through; a later file of a refused name replaces the
  // first. (A linked "ignored/" itself is among the links of the next test.)
  writeText(dir / "elsewhere.txt", "theirs\n");
  fs::remove(ignored() / "log.txt");
  fs::create_symlink(dir / "elsewhere.txt", ignored() / "log.txt");
  for (const char* text : {"first", "second"}) {
    writeText(inbox() / "notes.json", text);
    bridge.processInbox();
  }
  expectRefused("notes.json", "its name isn't a request id");
  EXPECT_EQ(readText(ignored() / "notes.json"), "second");
  EXPECT_EQ(readText(dir / "elsewhere.txt"), "theirs\n");
  EXPECT_EQ(countOf(readText(ignored() / "log.txt"), "\n"), 2u);
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
  for (const std::string& link : {std::string(".quillstone"), std::string(".quillstone/claude"),
                                  std::string(".quillstone/claude/outbox"),
                                  std::string(".quillstone/claude/inbox"), ignoredLink}) {
    SCOPED_TRACE(link);
    TempDir elsewhere;
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
    if (link == ignoredLink) {
      EXPECT_TRUE(fs::exists(inbox() / "notes.json"));
    }
    EXPECT_EQ(countOf(said, "\n"), 1u) << said;
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
  writeText(ignored() / "notes.json" / "kept", "");
  writeText(inbox() / "notes.json", "{}");
  qs::testing::RealTimeLoop loop;
  library::InotifyWatcher watcher(loop);
  int marks = 0;
  ASSERT_TRUE(watcher.start(root, [&](std::vector<std::string> paths, bool) {
    // As the application wires the folder watch to the bridge.
    if (std::any_of(paths.begin(), paths.end(), ClaudeBridge::isInboxPath)) bridge.processInbox();
    marks += std::count_if(paths.begin(), paths.end(), [](auto& p) { return p.ends_with("mark"); });
  }));
  // Every change made so far has been reported once a later one outside the inbox has.
  auto settled = [&] {
    const int seen = marks;
    writeText(root / "mark", std::to_string(seen));
    return loop.runUntil([&] { return marks > seen; }, 60s);
  };
  auto refusals = [&] { return countOf(readText(ignored() / "log.txt"), "notes.json"); };
  auto hostRefusals = [&] { return countOf(readText(dir / "host-log.txt"), "claude-ignored"); };

  bridge.processInbox();
  ASSERT_TRUE(settled());
  EXPECT_EQ(std::tuple(refusals(), hostRefusals(), fs::exists(inbox() / "notes.json")),
            std::tuple(1ul, 1ul, true));
  writeText(inbox() / "notes.json", "{\"v\": 2}");  // a new version: refused anew
  EXPECT_TRUE(loop.runUntil([&] { return refusals() == 2; }, 60s));
  ASSERT_TRUE(settled());
  EXPECT_EQ(refusals(), 2u);

  // With "ignored" a file nothing can be moved or logged there; the host log says it once.
  // Once the way is clear, a pass moves it aside and writes its line.
  fs::remove_all(ignored());
  writeText(ignored(), "a file");
  writeText(inbox() / "other.json", "{}");
  bridge.processInbox();
  bridge.processInbox();
  EXPECT_EQ(hostRefusals(), 3u);
  fs::remove(ignored());
  bridge.processInbox();
  EXPECT_EQ(countOf(readText(ignored() / "log.txt"), "other.json"), 1u);
  EXPECT_TRUE(fs::exists(ignored() / "other.json") && fs::exists(ignored() / "notes.json"));
  EXPECT_EQ(hostRefusals(), 3u);
  EXPECT_FALSE(ClaudeBridge::isInboxPath((ignored() / "log.txt").string()));
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

// The writing folder synced between two computers: each takes the replies to its own requests
// and leaves the other's alone (untouched, unlogged); neither withdraws the other's request.
// Two programs on one computer share its record.
TEST_F(ClaudeBridgeTest, TwoComputersOverOneExchangeTakeOnlyTheirOwnReplies) {
  Prefs otherPrefs{dir / "other-settings.json"};
  FakeTargets otherTargets;
  ClaudeBridge other{[this] { return root; }, dir / "OtherSupport", otherPrefs, nullptr,
                     otherTargets};
  other.setEnabled(true);
  ClaudeBridge sameComputer{[this] { return root; }, dir / "Support", prefs, nullptr, targets};
  ASSERT_TRUE(bridge.ask(request()).first);
  ASSERT_TRUE(other.ask(request(kOtherId)).first);
  reply(kReply);
  reply(kReply, kOtherId);
  EXPECT_TRUE(other.cancel(kId));
  EXPECT_TRUE(fs::exists(requestFile()));

  const std::size_t lines = logLines().size();
  bridge.processInbox();
  ASSERT_EQ(calls().size(), 1u);
  calls()[0].then(true);
  EXPECT_FALSE(fs::exists(replyFile()) || fs::exists(requestFile()));
  EXPECT_TRUE(fs::exists(replyFile(kOtherId)) && fs::exists(requestFile(kOtherId)));
  other.processInbox();
  ASSERT_EQ(otherTargets.target->calls.size(), 1u);
  EXPECT_EQ(otherTargets.target->calls[0].id, kOtherId);
  otherTargets.target->calls[0].then(true);
  reply(kReply, kOtherId);  // a second reply: the other's to refuse
  bridge.processInbox();
  EXPECT_TRUE(fs::exists(replyFile(kOtherId)));
  other.processInbox();
  EXPECT_TRUE(
      readText(ignored() / "log.txt").ends_with(kOtherId + ".json  " + kNothingWaiting + "\n"));
  EXPECT_EQ(logLines().size(), lines + 1);  // "claude-reply" for its own alone

  ASSERT_TRUE(bridge.ask(request()).first);
  EXPECT_TRUE(sameComputer.cancel(kId));
  EXPECT_FALSE(fs::exists(requestFile()));
}

// The first run of a version that keeps a record: a request already in the outbox counts as
// ours when its "replyTo" is our inbox; another computer's names its own.
TEST_F(ClaudeBridgeTest, RequestsFromBeforeTheRecordAreOursWhenTheyNameOurInbox) {
  ASSERT_TRUE(bridge.ask(request()).first);
  ASSERT_TRUE(bridge.ask(request(kOtherId)).first);
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
  EXPECT_EQ(json::parse(readText(record))->at("requests"), json::array{kId});

  // A record that can't be written: nothing is asked.
  fs::remove_all(dir / "Support");
  writeText(dir / "Support", "a file where the folder should be");
  EXPECT_EQ(
      bridge.ask(request(kOtherId)),
      std::pair(false, std::optional<std::string>("The request couldn't be written for Claude: " +
                                                  std::string(std::strerror(ENOTDIR)))));
}

// What is checked before a request file is written or a reply reaches a page.
using Checked = std::variant<Reply, std::string>;

// JSON text with "ID" standing for kId.
json::object object(std::string_view text) {
  return qs::testing::object(text::replaceAll(text, "ID", kId));
}
Checked check(const std::string& text) {
  return checkReply(kId, text::replaceAll(text, "ID", kId), "d1");
}

TEST(ClaudeRequestIdTest, OnlyRPrefixedUUIDsOfEitherCase) {
  EXPECT_TRUE(ids::isRequestID("r-0123ABCD-4567-89ab-cdef-0123456789aB"));
  for (std::string_view bad :
       {"", "R-0123abcd-4567-89ab-cdef-0123456789ab", "r-{0123abcd-4567-89ab-cdef-0123456789ab}",
        "r-0123abcd-4567-89ab-cdef-0123456789abc", "r-0123abcg-4567-89ab-cdef-0123456789ab",
        "r-0123abcd45-67-89ab-cdef-0123456789ab", "r-0123abcd-4567-89ab-cdef-0123456789ab\n"}) {
    EXPECT_FALSE(ids::isRequestID(bad)) << bad;
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
    EXPECT_EQ(check(body), Checked(reason)) << body.substr(0, 80);
  }
  EXPECT_EQ(checkReply(kId, std::nullopt, "d1"), Checked("it isn't JSON"));
}

TEST(ClaudeReplyCheckTest, AcceptedRepliesAsThePageGetsThem) {
  std::string emoji;
  for (int i = 0; i < 2000; ++i) emoji += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // 2000 characters
  const std::string start = R"({"v": 1, "requestId": "ID", "bullets": ["x"], "extra": )";
  // What the page is handed: bullets, who from, options.
  auto taken = [](const Checked& checked) {
    if (auto* refusal = std::get_if<std::string>(&checked)) return json::value(*refusal);
    const Reply& r = std::get<Reply>(checked);
    return json::value(json::array{r.bullets, r.from, r.options});
  };
  const std::string plain = R"([["x"], "Claude", {}])";
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {R"({"v": 1.0, "requestId": "ID", "bullets": ["a", ")" + emoji + R"("], "from": ")" +
                std::string(200, 'f') + "\"}",
            R"([["a", ")" + emoji + R"("], ")" + std::string(120, 'f') + R"(", {}])"},
           {R"({"v": 1, "requestId": "ID", "from": 7, "placements": [
               {"paragraphId": "p1", "bullets": ["a"], "docId": "d1"}]})",
            R"([[], "Claude", {"placements": [{"paragraphId": "p1", "bullets": ["a"]}]}])"},
           {R"({"v": 1, "requestId": "ID", "bullets": [], "empty": true})",
            R"([[], "Claude", {"empty": true}])"},
           // A byte order mark or great length still leave a reply JSON.
           {"\xEF\xBB\xBF" + start + "0}", plain},
           {start + "\"" + std::string(6'000'000, 'x') + "\"}", plain}}) {
    EXPECT_EQ(taken(check(text)), json::parse(expected)) << text.substr(0, 80);
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
