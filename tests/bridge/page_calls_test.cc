#include "bridge/page_calls.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/text.h"

// Records arriving before the page can apply them, a settle that never ends, the menus' presses
// and an assistant's reply the page isn't ready for are seen end to end (run_e2e, menus_e2e,
// claude_e2e); here, what a window gone with calls outstanding owes.
namespace qs::bridge {
namespace {

using namespace std::literals;

// Records each call; the test answers them as the page would.
class FakePage final : public PageScripting {
 public:
  void callAsync(std::string, json::object, Done done) override {
    calls.push_back(std::move(done));
  }
  void evaluate(std::string) override {}
  std::vector<Done> calls;
};

TEST(PageCallsTest, AClosedWindowIgnoresLateAnswersButPaysWhatItOwes) {
  ManualEventLoop loop;
  FakePage page;
  auto calls = std::make_unique<PageCalls>(page, loop);
  auto answer = [&](std::size_t i, json::value v) {
    auto done = std::move(page.calls.at(i));  // answering may add calls
    done(std::move(v), std::nullopt);
  };
  calls->setLoaded(true);
  for (auto id : {"a", "b"}) calls->enqueue(json::array{json::object{{"id", id}, {"rev", 1}}});
  calls->pressPath({"More", "Item"});
  answer(1, true);  // the next press is pending
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
  answer(0, "ok");
  for (std::size_t i = 2; i < made; ++i) answer(i, true);
  loop.advance(5000ms);
  EXPECT_EQ(page.calls.size(), made) << "no next batch, no next press";
  EXPECT_FALSE(ran);
  EXPECT_EQ(std::pair(settled, claude.size()), std::pair(1, std::size_t{1}));
}

// The folder's name and a document's id go into the page's first script as literals.
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
