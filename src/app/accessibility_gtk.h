// Names and descriptions for screen readers that GTK 4.8 leaves out (see accessibility.h), given
// to every window the program shows, and to the menus as they open: a button with a mnemonic is
// named by its label, an alert by its title or message (its detail as description), a progress
// bar by its window (its text as description), and a menu item's description is its keys.
// Main thread only.
#pragma once

namespace qs::app {

// Once, after GTK is set up: every window shown from then on is described as it maps.
void describeWindowsForScreenReaders();

}  // namespace qs::app
