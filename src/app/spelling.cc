#include "app/spelling.h"

#include <algorithm>

#include "platform/prefs.h"

namespace qs::app {

bool spellCheckingEnabled(const Prefs& prefs) {
  const auto value = prefs.get(kSpellCheckingKey);
  return !(value && value->is_bool() && !value->get_bool());
}

std::vector<std::string> spellingLanguages(const std::vector<std::string>& localeNames) {
  std::vector<std::string> languages;
  for (const auto& name : localeNames) {
    // "language_TERRITORY.codeset@modifier": the codeset and modifier name no dictionary.
    std::string language = name.substr(0, name.find_first_of(".@"));
    if (language.empty() || language == "C" || language == "POSIX") continue;
    if (std::find(languages.begin(), languages.end(), language) == languages.end()) {
      languages.push_back(std::move(language));
    }
  }
  if (languages.empty()) languages.push_back("en_US");
  return languages;
}

}  // namespace qs::app
