#include "app/spelling.h"

#include <gtest/gtest.h>

#include "platform/prefs.h"
#include "support/temp_dir.h"

namespace qs::app {
namespace {

TEST(SpellingTest, OnUnlessTurnedOffAndInTheLocalesLanguages) {
  testing::TempDir dir;
  Prefs prefs(dir.path() / "settings.json");
  EXPECT_TRUE(spellCheckingEnabled(prefs));  // the registered default
  ASSERT_TRUE(prefs.set(kSpellCheckingKey, "false"));
  EXPECT_TRUE(spellCheckingEnabled(prefs));  // only the boolean turns it off
  ASSERT_TRUE(prefs.set(kSpellCheckingKey, false));
  EXPECT_FALSE(spellCheckingEnabled(prefs));

  EXPECT_EQ(spellingLanguages({"de_CH.UTF-8", "de_CH", "de.UTF-8", "de", "C"}),
            (std::vector<std::string>{"de_CH", "de"}));
  EXPECT_EQ(spellingLanguages({"sr_RS@latin", "sr_RS", "sr@latin", "sr", "C"}),
            (std::vector<std::string>{"sr_RS", "sr"}));
  EXPECT_EQ(spellingLanguages({"C"}), (std::vector<std::string>{"en_US"}));
  EXPECT_EQ(spellingLanguages({"POSIX", ".UTF-8"}), (std::vector<std::string>{"en_US"}));
}

}  // namespace
}  // namespace qs::app
