#include "app/spelling.h"

#include <webkit/webkit.h>

namespace qs::app {

void applySpellChecking(WebKitWebContext* context, const Prefs& prefs) {
  const bool on = spellCheckingEnabled(prefs);
  if (on) {
    std::vector<std::string> names;
    for (const char* const* name = g_get_language_names(); *name; ++name) names.push_back(*name);
    const std::vector<std::string> languages = spellingLanguages(names);
    std::vector<const char*> list;
    for (const auto& language : languages) list.push_back(language.c_str());
    list.push_back(nullptr);
    webkit_web_context_set_spell_checking_languages(context, list.data());
  }
  webkit_web_context_set_spell_checking_enabled(context, on ? TRUE : FALSE);
}

}  // namespace qs::app
