// The Keyboard Shortcuts window: the menu bar's keys, grouped by menu, made on first use and
// kept (closing it only hides it). Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <vector>

#include "menus/menu_bar.h"

namespace qs::menus {

class ShortcutsPanel {
 public:
  ShortcutsPanel() = default;
  ~ShortcutsPanel();
  ShortcutsPanel(const ShortcutsPanel&) = delete;
  ShortcutsPanel& operator=(const ShortcutsPanel&) = delete;

  // Makes the window from `sections` the first time, then brings it to the front.
  void show(GtkApplication* application, const std::vector<ShortcutSection>& sections);

 private:
  GtkWindow* panel_ = nullptr;
};

}  // namespace qs::menus
