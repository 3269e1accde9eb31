#include "bridge/host_messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <memory>

#include "library/library.h"
#include "support/temp_dir.h"

// The page's messages end to end are run_e2e's (its checks.js: errors, writes, images, hostile
// messages, a page from another origin), and the fuzz target's corpus sends every op with odd
// arguments. Here: the encoding, the sender check, and what only a held pool shows.
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

struct FakeWindow final : HeadlessWindow {
  void wrote(json::array records) override { written.push_back(std::move(records)); }
  std::vector<json::array> written;
};

// A dispatcher on a real library in temporary folders, a manual main loop and real workers.
class HostMessagesTest : public ::testing::Test {
 protected:
  using Outcome = std::optional<PlatformReply>;
  // Hands `body` to the receiving step as a window's handler does.
  std::shared_ptr<Outcome> post(const json::value& body, HostDispatcher* owner) {
    auto outcome = std::make_shared<Outcome>();
    receive(owner, body, kAppPage, true, [outcome](PlatformReply reply) {
      EXPECT_FALSE(*outcome) << "a second reply";
      *outcome = std::move(reply);
    });
    return outcome;
  }
  // Runs the main loop until `outcome` has its reply (at most a minute, for a loaded machine).
  std::string wait(const std::shared_ptr<Outcome>& outcome) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!*outcome && std::chrono::steady_clock::now() < limit) {
      main.runPending();
      if (!*outcome) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return *outcome ? raw(**outcome) : "(no reply)";
  }
  std::string send(std::string_view message) { return wait(post(parse(message), &dispatcher)); }

  TempDir root;
  TempDir support;
  library::Library library{root.path(), support.path(), {}};
  ManualEventLoop main;
  WorkerPool pool{2};
  FakeWindow window;
  HostDispatcher dispatcher{library, support.path(), main, pool, window};
};

// Each message and its odd arguments are checks.js's; here what a log line looks like, what an
// assistant the window can't reach answers, and replies that outlive their window.
TEST_F(HostMessagesTest, RepliesAtOnceOrAsWorkEndsAndNoneAfterTheWindowWent) {
  CaptureStderr();
  EXPECT_EQ(send(R"({"op":"log","text":"saved\nQuillstone: forged\u0007 é"})"), encoded("true"));
  EXPECT_EQ(GetCapturedStderr(), "Quillstone page: saved\\nQuillstone: forged\\u0007 é\n");
  EXPECT_EQ(send(R"({"op":"claudeAsk"})"),
            encoded(R"({"ok":false,"message":"It couldn't be sent."})"));

  auto gated = std::make_unique<WorkerPool>(1);
  std::promise<void> gate;
  gated->async([opened = gate.get_future().share()] { opened.wait(); });
  FakeWindow other;
  auto closing = std::make_unique<HostDispatcher>(library, support.path(), main, *gated, other);
  auto opening = post(parse(R"({"op":"open"})"), closing.get());
  auto writing = post(parse(R"({"op":"write",
      "batch":{"docs":[{"id":"d1","rev":1,"doc":{"id":"d1","title":"Notes"}}]}})"),
                      closing.get());
  // A later message is answered while the earlier ones wait for the pool.
  EXPECT_EQ(wait(post(parse(R"({"op":"authUser"})"), closing.get())), encoded("null"));
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
