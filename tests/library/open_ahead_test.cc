// The first "open" answer is written on the start's thread; the page's "open" takes it only
// while nothing has changed since.
#include <gtest/gtest.h>

#include <functional>

#include "library/library.h"
#include "support/library_fixture.h"

namespace qs::library {
namespace {

using qs::testing::doc;
using qs::testing::record;

constexpr std::string_view kMark = "\x1e";

std::string answer(Library& lib) {
  std::string out(kMark);
  lib.openWorkspaceText(out, json::NonAscii::kEscaped);
  return out;
}

class OpenAheadTest : public qs::testing::LibraryFixture {
 protected:
  Library::Services ahead(std::chrono::milliseconds hold = {}) {
    Library::Services s;
    s.open_ahead = Library::Services::OpenAhead{std::string(kMark), json::NonAscii::kEscaped};
    s.start_hold = hold;
    return s;
  }
  std::string answerNow() {
    Library now(root(), support(), {}, Library::Start::kLater);
    return answer(now);
  }
};

TEST_F(OpenAheadTest, TheAnswerWrittenAheadServesOnlyUntilSomethingChanges) {
  std::map<std::string, fs::path> package;
  {
    Library lib(root(), support(), {});
    for (const char* id : {"a-1", "b-1", "c-1"}) {
      package[id] = lib.write(record(doc(id, std::string("Title \u00e9 ") + id))).value();
    }
  }
  // Unchanged: the same bytes as a library that answers when asked. A start held back for the
  // first window begins as soon as anyone needs the library, and a library that goes first
  // doesn't wait for it either.
  {
    Library lib(root(), support(), ahead(), Library::Start::kInBackground);
    EXPECT_EQ(answer(lib), answerNow());
    Library waiting(root(), support(), ahead(std::chrono::hours(1)), Library::Start::kInBackground);
    EXPECT_EQ(answer(waiting), answerNow());
    Library unused(root(), support(), ahead(std::chrono::hours(1)), Library::Start::kInBackground);
  }

  // Each change comes after the answer was written ahead (the queue is free only once it is)
  // and before the page asks. After an outside change or removal the check reports only that
  // one: what the start read is what the check compares with.
  const std::vector<std::pair<const char*, std::function<void(Library&)>>> changes = {
      {"a write", [](Library& lib) { ASSERT_TRUE(lib.write(record(doc("a-1", "Rewritten"), 2))); }},
      {"an outside change",
       [&](Library& lib) {
         bringIn(package["b-1"], doc("b-1", std::string("Title \u00e9 b-1"), {}, "other words"));
         EXPECT_EQ(lib.externalChanges().size(), 1u);
       }},
      {"an outside removal",
       [&](Library& lib) {
         fs::remove_all(package["c-1"]);
         EXPECT_EQ(lib.externalChanges().size(), 1u);
       }},
      {"the workspace's order",
       [](Library& lib) {
         const json::object meta{{"order", json::array{"b-1", "a-1"}}};
         EXPECT_FALSE(lib.write(json::array{}, &meta, nullptr));
       }},
  };
  for (const auto& [what, change] : changes) {
    SCOPED_TRACE(what);
    Library lib(root(), support(), ahead(), Library::Start::kInBackground);
    (void)lib.ledger();
    change(lib);
    const std::string given = answer(lib);
    EXPECT_EQ(given, answerNow());
    EXPECT_EQ(answer(lib), given);
  }
}

}  // namespace
}  // namespace qs::library
