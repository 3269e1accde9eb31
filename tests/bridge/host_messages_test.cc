#include "bridge/host_messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <memory>

#include "library/library.h"
#include "support/temp_dir.h"

namespace qs::bridge {
namespace {

using qs::testing::TempDir;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Events = std::vector<std::string>;

constexpr std::string_view kAppPage = "quillstone://app/index.html";

json::value parse(std::string_view text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v) << text;
  return v.value_or(nullptr);
}

// The raw reply the page gets for a value with this JSON text.
std::string encoded(std::string_view json_text) {
  return kReplyMark + std::string(json_text);
}

std::string raw(const PlatformReply& reply) {
  EXPECT_FALSE(reply.error) << *reply.error;
  return reply.value.is_string() ? std::string(reply.value.get_string()) : "(not a string)";
}

std::string error(const PlatformReply& reply) {
  EXPECT_TRUE(reply.value.is_null());
  return reply.error.value_or("(no error)");
}

json::object record(std::string_view id, std::string_view title) {
  return {{"id", id}, {"rev", 1}, {"doc", json::object{{"id", id}, {"title", title}}}};
}

// Notes what it is asked in `events`, in order; replies are noted there too.
class FakeWindow final : public HostWindow {
 public:
  void setDocID(std::string id) override { events.push_back("docID " + id); }
  void setTitle(std::string t) override { events.push_back("title " + t); }
  void setMenuState(json::object s) override { menuState = std::move(s); }
  void setPageMenu(json::array items, std::chrono::steady_clock::time_point) override {
    pageMenu = std::move(items);
  }
  void printPage() override { events.push_back("print"); }
  void saveFile(std::string name, std::string data) override {
    events.push_back("save " + name + " " + data);
  }
  void applyChrome(const json::object& message) override { chrome = message; }
  void drag() override { events.push_back("drag"); }
  void zoom() override { events.push_back("zoom"); }
  void loaded() override { events.push_back("loaded"); }
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
  bool claudeCancel(std::string_view requestId) override {
    events.push_back("cancel " + std::string(requestId));
    return !requestId.empty();
  }
  void authSignIn(Value done) override { signIn = std::move(done); }
  void authToken(Token done) override { done(token); }
  void authUser(Value done) override { done(user); }
  void authSignOut(Done done) override { signOut = std::move(done); }

  Events events;
  json::object menuState;
  json::array pageMenu;
  json::object chrome;
  std::vector<json::array> written;
  std::vector<json::object> asked;
  std::pair<bool, std::optional<std::string>> claudeAnswer{false, std::nullopt};
  Value signIn;
  Done signOut;
  std::optional<std::string> token;
  json::value user;
};

// A dispatcher on a real library in temporary folders, a manual main loop and real workers.
class HostMessagesTest : public ::testing::Test {
 protected:
  struct Outcome {
    int replies = 0;
    std::optional<PlatformReply> reply;
  };

  // Hands `body` to the receiving step as a window's handler does.
  std::shared_ptr<Outcome> post(const json::value& body, HostDispatcher* owner,
                                std::string_view uri = kAppPage, bool main_frame = true) {
    auto outcome = std::make_shared<Outcome>();
    receive(owner, body, uri, main_frame, [this, outcome](PlatformReply reply) {
      window.events.push_back("reply");
      ++outcome->replies;
      outcome->reply = std::move(reply);
    });
    return outcome;
  }

  // Runs the main loop until `outcome` has its reply (at most a minute, for a loaded machine).
  PlatformReply wait(const std::shared_ptr<Outcome>& outcome) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!outcome->reply && std::chrono::steady_clock::now() < limit) {
      main.run_pending();
      if (!outcome->reply) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(outcome->replies, 1);
    return outcome->reply.value_or(PlatformReply{nullptr, "(no reply)"});
  }

  PlatformReply send_value(const json::value& body, std::string_view uri = kAppPage,
                           bool main_frame = true) {
    return wait(post(body, &dispatcher, uri, main_frame));
  }
  PlatformReply send(std::string_view message, std::string_view uri = kAppPage,
                     bool main_frame = true) {
    return send_value(parse(message), uri, main_frame);
  }

  TempDir root;
  TempDir support;
  library::Library library{root.path(), support.path(), {}};
  ManualEventLoop main;
  WorkerPool pool{2};
  FakeWindow window;
  HostDispatcher dispatcher{library, support.path(), main, pool, window};
};

TEST(JSONTextTest, KeepsKeyOrderAndRefusesWhatJSONCannotHold) {
  EXPECT_EQ(JSONText::text(nullptr), "null");
  const json::value null_value, unsorted = parse(R"({"b":"\u001e","a":[1.5]})");
  EXPECT_EQ(JSONText::text(&null_value), "null");
  EXPECT_EQ(JSONText::text(&unsorted), R"({"b":"\u001e","a":[1.5]})");
  const double inf = HUGE_VAL;
  for (const json::value& refused : {json::value(std::nan("")), json::value(-inf),
                                     json::value(json::array{1, json::object{{"x", inf}}}),
                                     json::value("\xff"), json::value(json::object{{"\xc3", 1}})}) {
    EXPECT_FALSE(JSONText::text(&refused)) << refused;
  }
}

TEST(ReplyEncodingTest, ValuesGoAsMarkedJSONErrorsAsTextAndTheUnwritableAsTheyAre) {
  EXPECT_EQ(raw(encodeReply(PageReply::of("a"))), encoded(R"("a")"));
  EXPECT_EQ(raw(encodeReply(PageReply{})), encoded("null"));
  EXPECT_EQ(error(encodeReply(PageReply::failure("Refused"))), "Refused");

  CaptureStderr();
  auto reply = encodeReply(PageReply::of(json::array{std::nan("")}));
  EXPECT_EQ(GetCapturedStderr(), "Quillstone: a reply couldn't be sent as JSON; sent as objects\n");
  EXPECT_FALSE(reply.error);
  ASSERT_TRUE(reply.value.is_array());
  EXPECT_TRUE(std::isnan(reply.value.get_array()[0].get_double()));
}

TEST(FromAppPageTest, OnlyTheMainFrameOfTheAppPage) {
  for (std::string_view uri : {"quillstone://app/index.html", "quillstone://app",
                               "quillstone://app?x=1", "quillstone://app:80/a"}) {
    EXPECT_TRUE(fromAppPage(uri, true)) << uri;
  }
  EXPECT_FALSE(fromAppPage(kAppPage, false));
  for (std::string_view uri :
       {"", "quillstone", "quillstone:app", "Quillstone://app/", "quillstone://App/",
        "quillstone://app.example/", "quillstone://evil/app", "quillstone://app@evil/",
        "https://app/", "quillstonex://app/", "file:///quillstone://app/"}) {
    EXPECT_FALSE(fromAppPage(uri, true)) << uri;
  }
}

TEST_F(HostMessagesTest, RefusesWhatTheAppPageCannotHaveSent) {
  // The window gone, or a body that isn't an object: "No window", whoever sent it.
  EXPECT_EQ(error(wait(post(parse(R"({"op":"print"})"), nullptr))), "No window");
  for (std::string_view body : {R"("text")", "[]", "null"}) {
    EXPECT_EQ(error(send(body, "https://example.com/", false)), "No window") << body;
  }
  // An embedded frame or another page: logged and refused; the window hears nothing.
  using Sender = std::pair<std::string_view, bool>;
  for (auto [uri, main_frame] : {Sender(kAppPage, false), Sender("https://example.com/", true),
                                 Sender("quillstone://other/", true)}) {
    CaptureStderr();
    EXPECT_EQ(error(send(R"({"op":"doc","id":"d9","title":"X"})", uri, main_frame)), "Refused");
    EXPECT_EQ(GetCapturedStderr(),
              "Quillstone: refused a message from a frame that isn't the app's page\n");
  }
  std::erase(window.events, "reply");
  EXPECT_TRUE(window.events.empty());

  EXPECT_EQ(error(send(R"({"op":"Open"})")), "Unknown op Open");
  EXPECT_EQ(error(send("{}")), "Unknown op ");
  EXPECT_EQ(error(send(R"({"op":7})")), "Unknown op ");
}

TEST_F(HostMessagesTest, AWriteRepliesThenTellsTheOtherWindowsWhatThePageSent) {
  const json::object meta{{"schema", 3}}, pretext{{"pretext", "p"}};
  const json::array docs{record("d1", "Notes"), record("d2", "Plans")};
  json::object batch{{"docs", docs}, {"meta", meta}, {"pretext", pretext}};
  EXPECT_EQ(raw(send_value(json::object{{"op", "write"}, {"batch", batch}})), encoded("true"));
  EXPECT_EQ(window.events, (Events{"reply", "wrote"}));
  EXPECT_EQ(window.written.at(0), (json::array{meta, pretext, docs[0], docs[1]}));
  EXPECT_TRUE(library.url("d2"));

  EXPECT_EQ(raw(send_value(json::object{{"op", "write"}, {"batch", {{"pretext", pretext}}}})),
            encoded("true"));
  EXPECT_EQ(window.written.at(1), (json::array{pretext}));

  // Nothing to pass on, or arguments of the wrong type: nothing is written or passed on.
  for (std::string_view message :
       {R"({"op":"write","batch":{"docs":[]}})", R"({"op":"write","batch":[{"docs":[]}]})",
        R"({"op":"write","batch":{"docs":{"id":"d3"},"meta":[],"pretext":"x"}})"}) {
    EXPECT_EQ(raw(send(message)), encoded("true")) << message;
  }
  EXPECT_EQ(window.written.size(), 2u);
  EXPECT_FALSE(library.url("d3"));
}

TEST_F(HostMessagesTest, AFailedWriteResolvesWithItsMessageAndTellsNoOne) {
  const json::object bad{{"id", "a/b"}, {"doc", json::object{{"title", "  "}}}};
  const json::object batch{{"docs", json::array{bad, record("d1", "Fine")}}};
  // Characters past ASCII may travel escaped; what the page decodes is the same.
  const std::string reply = raw(send_value(json::object{{"op", "write"}, {"batch", batch}}));
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply[0], '\x1e');
  EXPECT_EQ(*json::parse(reply.substr(1)),
            *json::parse(R"({"message":"Couldn't write “Untitled” to Documents → Quillstone."})"));
  EXPECT_TRUE(window.written.empty());
  EXPECT_TRUE(library.url("d1"));  // the rest of the batch was written all the same
}

// Messages answered in turn: restore points of backups only, image captures kept, read and
// dropped (missing, mistyped or refused arguments answer as usual and change nothing), and page
// log text kept on its own line.
TEST_F(HostMessagesTest, SnapshotsCapturesAndLogAnswerInTurn) {
  const std::vector<std::pair<std::string_view, std::string_view>> turns = {
      {R"({"op":"snapshot","backup":{"format":"quillstone/backup"}})", "true"},
      {R"({"op":"snapshot","backup":{"format":"quillstone/document"}})", "false"},
      {R"({"op":"snapshot","backup":"quillstone/backup"})", "false"},
      {R"({"op":"getImage","id":"x"})", "null"},
      {R"({"op":"putImage","id":"x","src":"data:a\"b"})", "true"},
      {R"({"op":"getImage","id":"x"})", R"("data:a\"b")"},
      {R"({"op":"putImage","id":"y"})", "true"},
      {R"({"op":"putImage","id":"a_b","src":"s"})", "true"},
      {R"({"op":"dropImage","id":["x"]})", "true"},
      {R"({"op":"dropImage"})", "true"},
      {R"({"op":"getImage"})", "null"},
      {R"({"op":"getImage","id":"x"})", R"("data:a\"b")"},
      {R"({"op":"dropImage","id":"x"})", "true"},
      {R"({"op":"getImage","id":"x"})", "null"},
      {R"({"op":"log","text":"saved\nQuillstone: forged\u0007 é"})", "true"},
      {R"({"op":"log","text":7})", "true"},
  };
  CaptureStderr();
  for (const auto& [message, reply] : turns)
    EXPECT_EQ(raw(send(message)), encoded(reply)) << message;
  EXPECT_EQ(GetCapturedStderr(),
            "Quillstone page: saved\\nQuillstone: forged\\u0007 é\nQuillstone page: \n");
  namespace fs = std::filesystem;
  EXPECT_EQ(std::distance(fs::directory_iterator(support / "restore-points"), {}), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(support / "captures"), {}), 0);
}

TEST_F(HostMessagesTest, WindowOpsTakeTheirArgumentsOrTheirDefaults) {
  for (std::string_view message :
       {R"({"op":"doc","id":"d1","title":"A"})", R"({"op":"doc","title":"B"})",
        R"({"op":"doc","id":5,"title":["C"]})", R"({"op":"saveFile"})",
        R"({"op":"saveFile","name":"a.md","data":"data:,x"})", R"({"op":"print"})",
        R"({"op":"drag"})", R"({"op":"zoom"})", R"({"op":"loaded"})",
        R"({"op":"state","canUndo":true})", R"({"op":"chrome","theme":"dark"})",
        R"({"op":"contextMenu","items":[{"label":"Cut"},2,"x"]})"}) {
    EXPECT_EQ(raw(send(message)), encoded("true")) << message;
  }
  std::erase(window.events, "reply");
  EXPECT_EQ(window.events, (Events{"docID d1", "title A", "title B", "title ", "save Untitled ",
                                   "save a.md data:,x", "print", "drag", "zoom", "loaded"}));
  EXPECT_EQ(window.menuState, parse(R"({"op":"state","canUndo":true})"));
  EXPECT_EQ(window.chrome, parse(R"({"op":"chrome","theme":"dark"})"));
  EXPECT_EQ(window.pageMenu, parse(R"([{"label":"Cut"}])"));
  EXPECT_EQ(raw(send(R"({"op":"contextMenu","items":{"label":"Cut"}})")), encoded("true"));
  EXPECT_TRUE(window.pageMenu.empty());
}

TEST_F(HostMessagesTest, RevealAnswersBeforeTheFileViewerIsAsked) {
  ASSERT_TRUE(library.write(record("d1", "Notes")));
  ASSERT_TRUE(library.write(record("_settings", "Settings")));
  for (std::string_view message : {R"({"op":"reveal","id":"missing"})",
                                   R"({"op":"reveal","id":"_settings"})", R"({"op":"reveal"})"}) {
    EXPECT_EQ(raw(send(message)), encoded("false")) << message;
  }
  EXPECT_EQ(raw(send(R"({"op":"reveal","id":"d1"})")), encoded("true"));
  main.run_pending();
  EXPECT_EQ(window.events, (Events{"reply", "reply", "reply", "reply", "reveal Notes.quillstone"}));
}

TEST_F(HostMessagesTest, ClaudeAndSignInAnswerAsTheirServicesDo) {
  EXPECT_EQ(raw(send(R"({"op":"claudeAsk"})")),
            encoded(R"({"ok":false,"message":"It couldn't be sent."})"));
  window.claudeAnswer = {false, "Not set up."};
  EXPECT_EQ(raw(send(R"({"op":"claudeAsk","request":{"id":"r-1"}})")),
            encoded(R"({"ok":false,"message":"Not set up."})"));
  window.claudeAnswer = {true, std::nullopt};
  EXPECT_EQ(raw(send(R"({"op":"claudeAsk","request":["r-2"]})")), encoded("true"));
  EXPECT_EQ(window.asked, (std::vector<json::object>{{}, {{"id", "r-1"}}, {}}));
  EXPECT_EQ(raw(send(R"({"op":"claudeCancel","requestId":"r-1"})")), encoded("true"));
  EXPECT_EQ(raw(send(R"({"op":"claudeCancel","requestId":1})")), encoded("false"));

  // Sign-in and sign-out answer when their flows call back, not before.
  auto signing_in = post(parse(R"({"op":"authSignIn"})"), &dispatcher);
  auto signing_out = post(parse(R"({"op":"authSignOut"})"), &dispatcher);
  main.run_pending();
  ASSERT_TRUE(window.signIn && window.signOut);
  EXPECT_FALSE(signing_in->reply || signing_out->reply);
  window.signIn(json::object{{"error", "busy"}});
  window.signOut();
  EXPECT_EQ(raw(wait(signing_in)), encoded(R"({"error":"busy"})"));
  EXPECT_EQ(raw(wait(signing_out)), encoded("true"));

  EXPECT_EQ(raw(send(R"({"op":"authToken"})")), encoded("null"));
  window.token = "t\"1";
  EXPECT_EQ(raw(send(R"({"op":"authToken"})")), encoded(R"("t\"1")"));
  window.user = json::object{{"name", "Ada"}};
  EXPECT_EQ(raw(send(R"({"op":"authUser"})")), encoded(R"({"name":"Ada"})"));
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
  EXPECT_FALSE(opening->reply);

  closing.reset();  // the window closes with two replies outstanding
  gate.set_value();
  gated.reset();  // runs what was queued
  main.run_pending();
  EXPECT_FALSE(opening->reply || writing->reply);
  EXPECT_TRUE(other.written.empty());
  EXPECT_TRUE(library.url("d1"));  // the write itself was done
}

}  // namespace
}  // namespace qs::bridge
