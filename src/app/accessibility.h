// What the program's native windows say to screen readers where GTK 4.8 says nothing or the
// wrong thing: the names of buttons with a mnemonic, of alerts without a title, and of progress
// bars. Pure functions; accessibility_gtk.cc applies them to every window as it is shown.
#pragma once

#include <string>
#include <string_view>

namespace qs::app {

// A label without its mnemonic marks ("_OK" → "OK", "Con_nect" → "Connect", "__" → "_"). GTK 4.8
// names a button by its label's markup and text together ("_OK OK").
std::string withoutMnemonic(std::string_view label);

// The name of an alert: its title, else its message (an alert is mostly shown without a title,
// and GTK 4.8 then names it nothing).
std::string alertName(std::string_view title, std::string_view message);

}  // namespace qs::app
