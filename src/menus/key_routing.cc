#include "menus/key_routing.h"

#include "menus/menu_bar.h"

namespace qs::menus {

bool KeyRecord::pressed(std::string_view characters, unsigned flags, const MenuState& state) {
  const bool menu_first = menuHandles(characters, flags, state);
  last_ = menu_first ? KeyWent::kMenu : KeyWent::kPage;
  return menu_first;
}

}  // namespace qs::menus
