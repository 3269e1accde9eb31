// Continuous spell checking in the web views: the setting "WebContinuousSpellCheckingEnabled"
// (on unless it is the boolean false) and the dictionaries it uses, from the user's locale.
//
// Threads: spellCheckingEnabled and spellingLanguages may run anywhere; applySpellChecking is
// main-thread only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

typedef struct _WebKitWebContext WebKitWebContext;

namespace qs {
class Prefs;
}  // namespace qs

namespace qs::app {

inline constexpr std::string_view kSpellCheckingKey = "WebContinuousSpellCheckingEnabled";

// The setting, with its registered default: true.
bool spellCheckingEnabled(const Prefs& prefs);

// The locale's language names, most preferred first, as GLib gives them ("de_CH.UTF-8",
// "de_CH", "de.UTF-8", "de", "C") → the dictionaries to ask for ("de_CH", "de"). Without a
// language (the C or POSIX locale): English, the language of the program's own words.
std::vector<std::string> spellingLanguages(const std::vector<std::string>& localeNames);

// Turns the web views' spell checking on or off as the setting says (desktop build only).
void applySpellChecking(WebKitWebContext* context, const Prefs& prefs);

}  // namespace qs::app
