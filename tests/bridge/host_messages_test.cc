#include "bridge/host_messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <memory>

#include "library/library.h"
#include "support/temp_dir.h"

// The page's messages end to end are run_e2e's (its checks.js: errors, writes, images, hostile
// messages, a page from another origin), and the fuzz target's corpus sends every op with odd
// arguments. Here: the encoding, the sender check, and what only a fake window or a held pool
// shows.
namespace qs::bridge {
namespace {

using qs::testing::TempDir;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

constexpr std::string_view kAppPage = "quillstone://app/index.html";

json::value parse(std::string_view text) {
  return json::parse(text).value_or("(not JSON)");
}
// The raw reply the page gets for a value with this JSON text.
std::string encoded(std::string_view json_text) {
  return kReplyMark + std::string(json_text);
}
std::string raw(const PlatformReply& reply) {
  return reply.value.is_string() ? std::string(reply.value.get_string()) : "(no value)";
}
json::object record(std::string_view id, std::string_view title) {
  return {{"id", id}, {"rev", 1}, {"doc", json::object{{"id", id}, {"title", title}}}};
}

TEST(JSONTextTest, KeepsKeyOrderAndSendsWhatJSONCannotHoldAsObjects) {
  const json::value unsorted = parse(R"({"b":"\u001e","a":[1.5]})");
  EXPECT_EQ(JSONText::text(nullptr), "null");
  EXPECT_EQ(JSONText::text(&unsorted), R"({"b":"\u001e","a":[1.5]})");
  EXPECT_EQ(raw(encodeReply(PageReply{})), encoded("null"));
  EXPECT_EQ(encodeReply(PageReply::failure("Refused")).error, "Refused");
  // What JSON can't hold is refused by the writer beneath (the JSON tests); a reply of it still
  // goes, as objects.
  CaptureStderr();
  auto reply = encodeReply(PageReply::of(json::array{std::nan("")}));
  EXPECT_EQ(GetCapturedStderr(), "Quillstone: a reply couldn't be sent as JSON; sent as objects\n");
  EXPECT_TRUE(std::isnan(reply.value.at(0).get_double()));
}

TEST(FromAppPageTest, OnlyTheMainFrameOfTheAppPage) {
  EXPECT_FALSE(fromAppPage(kAppPage, false));
  for (std::string_view uri :
       {"quillstone://app", "quillstone://app?x=1", "quillstone://app:80/a", "", "quillstone:app",
        "Quillstone://app/", "quillstone://app.example/", "quillstone://evil/app",
        "quillstone://app@evil/", "https://app/", "quillstonex://app/"}) {
    EXPECT_EQ(fromAppPage(uri, true), uri.starts_with("quillstone://app") &&
                                          uri.find_first_of(".@", 16) == std::string_view::npos)
        << uri;
  }
}

// Notes what it is asked in `events`, in order; replies are noted there too.
struct FakeWindow final : HeadlessWindow {
  void saveFile(std::string name, std::string data) override {
    events.push_back("save " + name + " " + data);
  }
  void revealInFileViewer(const std::filesystem::path& path) override {
    events.push_back("reveal " + path.filename().string());
  }
  void wrote(json::array records) override {
    events.push_back("wrote");
    written.push_back(std::move(records));
  }
  std::pair<bool, std::optional<std::string>> claudeAsk(const json::object& request) override {
    asked.push_back(request);
    return claudeAnswer;
  }
  void authSignIn(Value) override {}
  void authSignOut(Done) override {}

  std::vector<std::string> events;
  std::vector<json::array> written;
  std::vector<json::object> asked;
  std::pair<bool, std::optional<std::string>> claudeAnswer{false, std::nullopt};
};

// A dispatcher on a real library in temporary folders, a manual main loop and real workers.
class HostMessagesTest : public ::testing::Test {
 protected:
  using Outcome = std::optional<PlatformReply>;
  // Hands `body` to the receiving step as a window's handler does.
  std::shared_ptr<Outcome> post(const json::value& body, HostDispatcher* owner) {
    auto outcome = std::make_shared<Outcome>();
    receive(owner, body, kAppPage, true, [this, outcome](PlatformReply reply) {
      window.events.push_back("reply");
      EXPECT_FALSE(*outcome) << "a second reply";
      *outcome = std::move(reply);
    });
    return outcome;
  }
  // Runs the main loop until `outcome` has its reply (at most a minute, for a loaded machine).
  PlatformReply wait(const std::shared_ptr<Outcome>& outcome) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!*outcome && std::chrono::steady_clock::now() < limit) {
      main.runPending();
      if (!*outcome) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return outcome->value_or(PlatformReply{nullptr, "(no reply)"});
  }
  std::string sendValue(const json::value& body) { return raw(wait(post(body, &dispatcher))); }
  std::string send(std::string_view message) { return sendValue(parse(message)); }

  TempDir root;
  TempDir support;
  library::Library library{root.path(), support.path(), {}};
  ManualEventLoop main;
  WorkerPool pool{2};
  FakeWindow window;
  HostDispatcher dispatcher{library, support.path(), main, pool, window};
};

TEST_F(HostMessagesTest, AWriteRepliesThenTellsTheOtherWindowsWhatThePageSent) {
  EXPECT_EQ(wait(post(parse(R"({"op":"print"})"), nullptr)).error, "No window");  // window gone
  const json::object meta{{"schema", 3}}, pretext{{"pretext", "p"}};
  const json::array docs{record("d1", "Notes"), record("d2", "Plans")};
  json::object batch{{"docs", docs}, {"meta", meta}, {"pretext", pretext}};
  EXPECT_EQ(sendValue(json::object{{"op", "write"}, {"batch", batch}}), encoded("true"));
  EXPECT_EQ(window.events, (std::vector<std::string>{"reply", "reply", "wrote"}));
  EXPECT_EQ(window.written.at(0), (json::array{meta, pretext, docs[0], docs[1]}));
  // Nothing to pass on, or arguments of the wrong type: nothing is written or passed on.
  EXPECT_EQ(send(R"({"op":"write","batch":{"docs":{"id":"d3"},"meta":[],"pretext":"x"}})"),
            encoded("true"));
  // A failure resolves with its message and tells no one; the rest of the batch is written.
  batch = {{"docs", json::array{json::object{{"id", "a/b"}, {"doc", json::object{{"title", "  "}}}},
                                record("d4", "Fine")}}};
  const std::string failed = sendValue(json::object{{"op", "write"}, {"batch", batch}});
  EXPECT_EQ(parse(failed.substr(1)),
            parse(R"({"message":"Couldn't write “Untitled” to Documents → Quillstone."})"));
  EXPECT_EQ(window.written.size(), 1u);
  EXPECT_TRUE(library.url("d4"));
  EXPECT_FALSE(library.url("d3"));
}

// Messages answered in turn (their odd arguments are checks.js's): a restore point, an image
// kept, read and dropped, page log text kept on its own line, window ops with their arguments or
// defaults, and "reveal" answered before the file viewer is asked.
TEST_F(HostMessagesTest, MessagesAnswerInTurnWithTheirArgumentsOrTheirDefaults) {
  ASSERT_TRUE(library.write(record("d1", "Notes")));
  const std::vector<std::pair<std::string_view, std::string_view>> turns = {
      {R"({"op":"snapshot","backup":{"format":"quillstone/backup"}})", "true"},
      {R"({"op":"putImage","id":"x","src":"data:a\"b"})", "true"},
      {R"({"op":"getImage","id":"x"})", R"("data:a\"b")"},
      {R"({"op":"dropImage","id":"x"})", "true"},
      {R"({"op":"getImage","id":"x"})", "null"},
      {R"({"op":"log","text":"saved\nQuillstone: forged\u0007 é"})", "true"},
      {R"({"op":"doc","id":"d1","title":"A"})", "true"},
      {R"({"op":"doc","id":5,"title":["C"]})", "true"},  // the id kept, the title as none
      {R"({"op":"saveFile"})", "true"},
      {R"({"op":"reveal","id":"_settings"})", "false"},
      {R"({"op":"reveal","id":"d1"})", "true"}};
  CaptureStderr();
  for (const auto& [message, reply] : turns) EXPECT_EQ(send(message), encoded(reply)) << message;
  EXPECT_EQ(GetCapturedStderr(), "Quillstone page: saved\\nQuillstone: forged\\u0007 é\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(support / "restore-points"), {}), 1);
  EXPECT_EQ(std::tie(window.docID, window.title), std::tuple("d1", ""));
  main.runPending();
  std::erase(window.events, "reply");
  EXPECT_EQ(window.events, (std::vector<std::string>{"save Untitled ", "reveal Notes.quillstone"}));
}

// Sign-in and sign-out answer when their flows call back (auth_e2e, its page signs in and out).
TEST_F(HostMessagesTest, ClaudeAsksAnswerAsTheWindowDoes) {
  EXPECT_EQ(send(R"({"op":"claudeAsk"})"),
            encoded(R"({"ok":false,"message":"It couldn't be sent."})"));
  window.claudeAnswer = {true, std::nullopt};
  EXPECT_EQ(send(R"({"op":"claudeAsk","request":{"id":"r-1"}})"), encoded("true"));
  EXPECT_EQ(window.asked, (std::vector<json::object>{{}, {{"id", "r-1"}}}));
}

TEST_F(HostMessagesTest, BackgroundRepliesComeAsWorkEndsAndDieWithTheirWindow) {
  auto gated = std::make_unique<WorkerPool>(1);
  std::promise<void> gate;
  gated->async([opened = gate.get_future().share()] { opened.wait(); });

  FakeWindow other;
  auto closing = std::make_unique<HostDispatcher>(library, support.path(), main, *gated, other);
  auto opening = post(parse(R"({"op":"open"})"), closing.get());
  const json::object batch{{"docs", json::array{record("d1", "Notes")}}};
  auto writing = post(json::object{{"op", "write"}, {"batch", batch}}, closing.get());
  // A later message is answered while the earlier ones wait for the pool.
  EXPECT_EQ(raw(wait(post(parse(R"({"op":"authUser"})"), closing.get()))), encoded("null"));
  EXPECT_FALSE(*opening);

  closing.reset();  // the window closes with two replies outstanding
  gate.set_value();
  gated.reset();  // runs what was queued
  main.runPending();
  EXPECT_FALSE(*opening || *writing);
  EXPECT_TRUE(other.written.empty());
  EXPECT_TRUE(library.url("d1"));  // the write itself was done
}

}  // namespace
}  // namespace qs::bridge
