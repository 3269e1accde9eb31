#include "bridge/page_calls.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "core/text.h"

namespace qs::bridge {
namespace {

using namespace std::chrono_literals;

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

  void answer(std::size_t i, std::optional<json::value> v) {
    auto done = std::move(calls.at(i).done);  // answering may add calls
    done(std::move(v), std::nullopt);
  }
  void fail(std::size_t i) {
    auto done = std::move(calls.at(i).done);
    done(std::nullopt, "TypeError: undefined is not a function");
  }
  void answerLast(std::optional<json::value> v) { answer(calls.size() - 1, std::move(v)); }

  std::string argument(std::size_t i, std::string_view key) const {
    auto s = json::find_string(calls.at(i).arguments, key);
    return s ? std::string(*s) : "(absent)";
  }

  std::vector<Call> calls;
};

json::array batch(std::string_view id) {
  return {json::object{{"id", id}, {"rev", 1}}};
}

class PageCallsTest : public ::testing::Test {
 protected:
  // The id of the first record in each delivery call, in order.
  std::vector<std::string> deliveries() const {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < page.calls.size(); ++i) {
      if (page.calls[i].body != kDeliverBody) continue;
      auto records = json::parse(page.argument(i, "recordsJSON"));
      ids.emplace_back(records->as_array().at(0).as_object().at("id").as_string());
    }
    return ids;
  }

  ManualEventLoop loop;
  FakePage page;
  std::unique_ptr<PageCalls> calls = std::make_unique<PageCalls>(page, loop);
};

TEST_F(PageCallsTest, DeliveryRetriesUntilThePageCanApplyThenDrainsInOrder) {
  calls->setLoaded(true);
  calls->enqueue(batch("a"));
  calls->enqueue(batch("b"));
  calls->deliverExternal();
  ASSERT_EQ(page.calls.size(), 1u) << "one delivery outstanding at a time";

  // The page defines applyExternal two seconds in; it answers "wait" until then.
  while (loop.now() < 2000ms) {
    const auto before = page.calls.size();
    page.answerLast(json::value("wait"));
    loop.advance(249ms);
    ASSERT_EQ(page.calls.size(), before);
    loop.advance(1ms);
    ASSERT_EQ(page.calls.size(), before + 1);
  }
  // Records arriving during a wait try at once and replace the pending retry.
  page.answerLast(json::value("wait"));
  loop.advance(100ms);
  calls->enqueue(batch("c"));
  EXPECT_EQ(loop.pending_timers(), 0u);
  page.answerLast(json::value("wait"));
  loop.advance(250ms);

  for (int i = 0; i < 3; ++i) page.answerLast(json::value("ok"));
  EXPECT_EQ(deliveries(), (std::vector<std::string>{"a", "a", "a", "a", "a", "a", "a", "a", "a",
                                                    "a", "a", "b", "c"}));
  EXPECT_EQ(loop.pending_timers(), 0u);
}

TEST_F(PageCallsTest, DeliveryWaitsForLoadedAndDropsABatchOnAnyOtherAnswer) {
  for (auto id : {"a", "b", "c", "d"}) calls->enqueue(batch(id));
  EXPECT_TRUE(page.calls.empty());
  calls->setLoaded(true);
  page.answerLast(json::value("wait"));
  calls->setLoaded(false);  // a quiet reload
  loop.advance(1000ms);
  EXPECT_EQ(page.calls.size(), 1u) << "no retry into a page that is reloading";

  calls->setLoaded(true);
  page.fail(1);  // a script error is not retried
  page.answer(2, json::value(nullptr));
  page.answer(3, std::nullopt);
  page.answer(4, json::value("ok"));
  EXPECT_EQ(deliveries(), (std::vector<std::string>{"a", "a", "b", "c", "d"}));
  EXPECT_EQ(calls->queuedBatches(), 0u);
}

TEST_F(PageCallsTest, PressPathWaitsBetweenLabelsAndStopsAtAFalsePress) {
  calls->pressPath({"More", "AI for this document…", "Ask"});
  EXPECT_EQ(page.argument(0, "l"), "More");
  page.answer(0, json::value(true));
  loop.advance(79ms);
  EXPECT_EQ(page.calls.size(), 1u);
  loop.advance(1ms);
  ASSERT_EQ(page.calls.size(), 2u);
  EXPECT_EQ(page.argument(1, "l"), "AI for this document…");
  page.answer(1, json::value("yes"));  // not a boolean: counts as false
  loop.advance(1000ms);
  EXPECT_EQ(page.calls.size(), 2u);
}

TEST_F(PageCallsTest, SettleCallsDoneExactlyOnce) {
  calls->setLoaded(true);
  int done[4] = {};  // never answered, answered at 4 s, answered at 1 s, failed at 1 s
  for (int& d : done) calls->settle([&d] { ++d; });
  loop.advance(1000ms);
  page.answer(2, std::nullopt);
  page.fail(3);
  EXPECT_EQ(done[2] + done[3], 2);
  loop.advance(1999ms);
  EXPECT_EQ(done[0] + done[1], 0);
  loop.advance(1ms);
  EXPECT_EQ(done[0] + done[1], 2);
  loop.advance(1000ms);
  page.answer(1, std::nullopt);
  loop.advance(10000ms);
  EXPECT_EQ((std::vector<int>(done, done + 4)), (std::vector<int>{1, 1, 1, 1}));

  calls->setLoaded(false);
  int unloaded = 0;
  calls->settle([&] { ++unloaded; });
  EXPECT_EQ(unloaded, 1) << "nothing to settle in a page that isn't loaded";
  EXPECT_EQ(page.calls.size(), 4u);
}

TEST_F(PageCallsTest, RunAndClaudeReplyConvertWhatThePageAnswers) {
  std::vector<bool> ran;
  calls->run("bold", std::numeric_limits<double>::quiet_NaN(), [&](bool r) { ran.push_back(r); });
  calls->run("insert", json::object{{"text", "\"\n"}}, [&](bool r) { ran.push_back(r); });
  calls->run("x", nullptr, [&](bool r) { ran.push_back(r); });
  EXPECT_EQ(page.argument(0, "c"), "bold");
  EXPECT_EQ(page.argument(0, "aJSON"), "null");
  EXPECT_EQ(page.argument(1, "aJSON"), "{\"text\":\"\\\"\\n\"}");
  page.answer(0, json::value(true));
  page.answer(1, json::value("true"));
  page.fail(2);
  EXPECT_EQ(ran, (std::vector<bool>{true, false, false}));

  std::vector<std::optional<bool>> taken;
  auto note = [&](std::optional<bool> r) { taken.push_back(r); };
  for (auto id : {"r-1", "r-2", "r-3"}) calls->claudeReply(id, json::array{"b"}, "C", {}, note);
  calls->claudeReply("r-4", json::array{"b"}, "C", {{"empty", true}}, note);
  EXPECT_EQ(page.argument(3, "bulletsJSON"), "[\"b\"]");
  EXPECT_EQ(page.argument(3, "optionsJSON"), "{}");
  EXPECT_EQ(page.argument(6, "optionsJSON"), "{\"empty\":true}");
  page.answer(3, json::value(true));
  page.answer(4, json::value(false));
  page.answer(5, json::value("yes"));
  page.fail(6);
  EXPECT_EQ(taken, (std::vector<std::optional<bool>>{true, false, std::nullopt, std::nullopt}));
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
  loop.run_pending();
  EXPECT_EQ(settled, 1) << "a quit waiting on this window goes on";
  EXPECT_EQ(claude, (std::vector<std::optional<bool>>{std::nullopt}));

  page.answer(0, json::value("ok"));
  for (std::size_t i = 2; i < made; ++i) page.answer(i, json::value(true));
  loop.advance(5000ms);
  EXPECT_EQ(page.calls.size(), made) << "no next batch, no next press";
  EXPECT_FALSE(ran);
  EXPECT_EQ(settled, 1);
  EXPECT_EQ(claude.size(), 1u);
}

TEST(PageScripts, JsStringIsAlwaysAValidLiteral) {
  for (std::string s : {std::string("plain"), std::string("say \"hi\""), std::string("C:\\dir\\"),
                        std::string("two\nlines\r\n"), std::string("line\xe2\x80\xa8sep"),
                        std::string("nul\0byte", 8), std::string("\x01\x1f\x7f"),
                        std::string("bad \xff\xfe utf-8 \xc3")}) {
    const std::string literal = jsString(s);
    EXPECT_EQ(literal.find_first_of("\n\r"), std::string::npos) << literal;
    EXPECT_TRUE(text::is_valid_utf8(literal));
    auto back = json::parse(literal);
    ASSERT_TRUE(back) << literal;
    EXPECT_EQ(back->as_string(), text::make_valid_utf8(s));
  }
}

}  // namespace
}  // namespace qs::bridge
