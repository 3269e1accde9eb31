#include "app/accessibility.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace qs::app {
namespace {

TEST(AccessibilityTest, ButtonsAndAlertsAreNamedAsTheyRead) {
  for (const auto& [label, name] : std::vector<std::pair<const char*, const char*>>{
           {"_OK", "OK"},
           {"Con_nect", "Connect"},
           {"Choose _Backup\u2026", "Choose Backup\u2026"},
           {"__init", "_init"},
           {"a_", "a_"},  // a mark with nothing after it is only an underscore
           {"Plain", "Plain"},
           {"", ""}}) {
    EXPECT_EQ(withoutMnemonic(label), name) << label;
  }
  EXPECT_EQ(alertName("No restore points yet", "No restore points yet"), "No restore points yet");
  EXPECT_EQ(alertName("", "\u201cNotes\u201d couldn't be opened."),
            "\u201cNotes\u201d couldn't be opened.");
}

}  // namespace
}  // namespace qs::app
