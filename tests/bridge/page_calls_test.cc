#include "bridge/page_calls.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "core/text.h"

// Records arriving before the page can apply them, a settle that never ends and the menus'
// presses are seen end to end (run_e2e, menus_e2e); here their timing, on the manual clock.
namespace qs::bridge {
namespace {

using namespace std::literals;

// Records each call; the test answers them as the page would.
class FakePage final : public PageScripting {
 public:
  struct Call {
    std::string body;
    json::object arguments;
    Done done;
  };
  void callAsync(std::string body, json::object arguments, Done done) override {
    calls.push_back({std::move(body), std::move(arguments), std::move(done)});
  }
  void evaluate(std::string) override {}

  // Answers call `i` as the page would, or as a script that throws when `v` is "throw".
  void answer(std::size_t i, std::optional<json::value> v) {
    auto done = std::move(calls.at(i).done);  // answering may add calls
    if (v && *v == "throw") return done(std::nullopt, "TypeError: undefined is not a function");
    done(std::move(v), std::nullopt);
  }
  void answerLast(std::optional<json::value> v) { answer(calls.size() - 1, std::move(v)); }
  std::vector<Call> calls;
};

json::array batch(std::string_view id) {
  return {json::object{{"id", id}, {"rev", 1}}};
}

class PageCallsTest : public ::testing::Test {
 protected:
  // The id of the first record in each delivery call, in order.
  std::string deliveries() const {
    std::string ids;
    for (const auto& c : page.calls) {
      if (c.body == kDeliverBody)
        ids += c.arguments.at("recordsJSON").as_string()[8];  // [{"id":"a"
    }
    return ids;
  }

  ManualEventLoop loop;
  FakePage page;
  std::unique_ptr<PageCalls> calls = std::make_unique<PageCalls>(page, loop);
};

TEST_F(PageCallsTest, DeliveryRetriesUntilThePageCanApplyThenDrainsInOrder) {
  for (auto id : {"a", "b"}) calls->enqueue(batch(id));
  EXPECT_TRUE(page.calls.empty());  // not before the page loaded
  calls->setLoaded(true);
  ASSERT_EQ(page.calls.size(), 1u) << "one delivery outstanding at a time";
  page.answerLast(json::value("wait"));
  loop.advance(249ms);
  EXPECT_EQ(page.calls.size(), 1u);
  loop.advance(1ms);
  ASSERT_EQ(page.calls.size(), 2u);
  page.answerLast(json::value("wait"));
  calls->setLoaded(false);  // a quiet reload
  loop.advance(1000ms);
  EXPECT_EQ(page.calls.size(), 2u) << "no retry into a page that is reloading";
  calls->setLoaded(true);
  // Records arriving during a wait try at once and replace the pending retry.
  page.answerLast(json::value("wait"));
  calls->enqueue(batch("c"));
  EXPECT_EQ(loop.pendingTimers(), 0u);
  calls->enqueue(batch("d"));
  page.answerLast(json::value("ok"));
  page.answer(4, "throw");  // a script error is not retried
  page.answer(5, std::nullopt);
  page.answer(6, json::value(nullptr));
  EXPECT_EQ(deliveries(), "aaaabcd");
  EXPECT_EQ(calls->queuedBatches(), 0u);
}

TEST_F(PageCallsTest, PressesWaitBetweenLabelsAndSettleCallsDoneOnce) {
  calls->pressPath({"More", "AI for this document…", "Ask"});
  page.answer(0, json::value(true));
  loop.advance(79ms);
  EXPECT_EQ(page.calls.size(), 1u);
  loop.advance(1ms);
  ASSERT_EQ(page.calls.at(1).arguments.at("l"), "AI for this document…");
  page.answer(1, json::value("yes"));  // not a boolean: counts as false
  loop.advance(1000ms);
  EXPECT_EQ(page.calls.size(), 2u);

  calls->setLoaded(true);
  int done[3] = {};  // answered at 4 s, answered at 1 s, failed at 1 s
  for (int& d : done) calls->settle([&d] { ++d; });
  loop.advance(1000ms);
  page.answer(3, std::nullopt);
  page.answer(4, "throw");
  loop.advance(1999ms);
  EXPECT_EQ(done[0] + done[1] + done[2], 2);
  loop.advance(1ms);
  EXPECT_EQ(done[0], 1);
  loop.advance(1000ms);
  page.answer(2, std::nullopt);
  EXPECT_EQ((std::vector<int>(done, done + 3)), (std::vector<int>{1, 1, 1}));
  calls->setLoaded(false);
  int unloaded = 0;
  calls->settle([&] { ++unloaded; });
  EXPECT_EQ(unloaded, 1) << "nothing to settle in a page that isn't loaded";
}

// A reply is taken only on the page's true; a script error leaves it for later. (Commands run
// from the menus are menus_e2e's.)
TEST_F(PageCallsTest, AClaudeReplyIsTakenOnlyOnTrue) {
  std::vector<std::optional<bool>> taken;
  auto note = [&](std::optional<bool> r) { taken.push_back(r); };
  for (auto id : {"r-1", "r-2"}) calls->claudeReply(id, json::array{"b"}, "C", {}, note);
  calls->claudeReply("r-3", json::array{"b"}, "C", {{"empty", true}}, note);
  EXPECT_EQ(page.calls[2].arguments, (json::object{{"id", "r-3"},
                                                   {"bulletsJSON", "[\"b\"]"},
                                                   {"from", "C"},
                                                   {"optionsJSON", "{\"empty\":true}"}}));
  page.answer(0, json::value(false));
  page.answer(1, json::value("yes"));
  page.answer(2, "throw");
  EXPECT_EQ(taken, (std::vector<std::optional<bool>>{false, std::nullopt, std::nullopt}));
}

TEST_F(PageCallsTest, AClosedWindowIgnoresLateAnswersButPaysWhatItOwes) {
  calls->setLoaded(true);
  calls->enqueue(batch("a"));
  calls->enqueue(batch("b"));
  calls->pressPath({"More", "Item"});
  page.answer(1, json::value(true));  // the next press is pending
  bool ran = false;
  calls->run("bold", nullptr, [&](bool) { ran = true; });
  int settled = 0;
  calls->settle([&] { ++settled; });
  std::vector<std::optional<bool>> claude;
  calls->claudeReply("r-1", json::array{"x"}, "Claude", {},
                     [&](std::optional<bool> r) { claude.push_back(r); });
  const auto made = page.calls.size();

  calls.reset();
  loop.runPending();
  EXPECT_EQ(settled, 1) << "a quit waiting on this window goes on";
  EXPECT_EQ(claude, (std::vector<std::optional<bool>>{std::nullopt}));
  page.answer(0, json::value("ok"));
  for (std::size_t i = 2; i < made; ++i) page.answer(i, json::value(true));
  loop.advance(5000ms);
  EXPECT_EQ(page.calls.size(), made) << "no next batch, no next press";
  EXPECT_FALSE(ran);
  EXPECT_EQ(std::pair(settled, claude.size()), std::pair(1, std::size_t{1}));
}

TEST(PageScripts, JsStringIsAlwaysAValidLiteral) {
  for (std::string s : {"say \"hi\" C:\\dir\\"s, "two\nlines\r\n"s, "line\xe2\x80\xa8sep"s,
                        "nul\0byte"s, "\x01\x1f\x7f"s, "bad \xff\xfe utf-8 \xc3"s}) {
    const std::string literal = jsString(s);
    EXPECT_EQ(literal.find_first_of("\n\r"), std::string::npos) << literal;
    EXPECT_TRUE(text::isValidUTF8(literal));
    auto back = json::parse(literal);
    ASSERT_TRUE(back) << literal;
    EXPECT_EQ(back->as_string(), text::makeValidUTF8(s));
  }
}

}  // namespace
}  // namespace qs::bridge
