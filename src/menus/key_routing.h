// Which of the menu bar and the page gets a key press in a document window first, and where the
// last one went. Main thread only.
#pragma once

#include <string_view>

#include "menus/menu_state.h"

namespace qs::menus {

// Where a key press went: to the menu bar, when one of its items performed it, or to the page.
enum class KeyWent { kNowhere, kMenu, kPage };

// One document view's record of the key presses it had the focus for. A press the menu bar may
// take counts as the menu's until the page is seen to receive it, which it does only when no
// item performed it.
class KeyRecord {
 public:
  // A key press: whether the menu bar may try it before the page (menuHandles). `characters`
  // are the key's characters ignoring modifiers; `flags` the modifiers held, in the menu table's
  // mask.
  bool pressed(std::string_view characters, unsigned flags, const MenuState& state);
  // The press reached the page.
  void reachedPage() { last_ = KeyWent::kPage; }
  KeyWent lastKey() const { return last_; }

 private:
  KeyWent last_ = KeyWent::kNowhere;
};

}  // namespace qs::menus
