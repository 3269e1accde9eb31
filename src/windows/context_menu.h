// The page's context menu, apart from GTK and WebKit: which of the web view's own items stay,
// how the items the page describes in its "contextMenu" message become menu items, and when the
// page hears of a choice or of a menu that closed without one.
//
// Threads: parseHint, pageItems and rebuildMenu are pure. ContextMenu is main-thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "core/json.h"

namespace qs::windows {

// A shortcut shown beside a page item: ⌘ is Ctrl, ⌥ Alt, ⇧ Shift and ⌃ Super here, as on the
// menu bar.
struct Shortcut {
  bool command = false;
  bool option = false;
  bool shift = false;
  bool control = false;
  std::string key;  // one character: upper case with shift, else lower case
  bool operator==(const Shortcut&) const = default;
};

// Modifier symbols and then exactly one character ("⌘⇧K"); none for anything else ("K",
// "⌘KL", "").
std::optional<Shortcut> parseHint(std::string_view hint);

// One item the page asked for.
struct PageItem {
  bool separator = false;
  std::string label;
  std::optional<json::value> id;  // handed back when chosen
  bool enabled = true;
  bool checked = false;
  std::optional<Shortcut> shortcut;
  std::vector<PageItem> submenu;  // empty: a plain item
};

// A page can ask for any number of items nested any depth; a menu that stays usable shows at
// most this many items in all (separators and submenus' items included, in order) and this many
// levels of submenus. A submenu at the last level shows as a disabled item. Labels keep at most
// kMaxLabelLength characters and have control characters replaced by spaces.
inline constexpr std::size_t kMaxPageItems = 100;
inline constexpr std::size_t kMaxPageDepth = 5;
inline constexpr std::size_t kMaxLabelLength = 80;

// The page's items as menu items. Objects whose `kind` is "separator" are separators; other
// items need a string `label` and are dropped without one. `enabled` is false only when it is
// the boolean false; `checked` only when it is the boolean true.
std::vector<PageItem> pageItems(const json::array& items);

// What the web view proposes, item by item. Items the web view shows that are not its own
// commands (spelling guesses, items other programs added) count as the page side's.
enum class Proposed { kSeparator, kOther, kLookUp, kCopy, kPaste, kSystem };

// One entry of the rebuilt menu: a separator, a proposed item or a top-level page item.
struct MenuEntry {
  enum class Kind { kSeparator, kProposed, kPage };
  Kind kind = Kind::kSeparator;
  std::size_t index = 0;  // into the proposed items or the page items
  bool operator==(const MenuEntry&) const = default;
};

// The menu as it opens: the groups of non-system items that come before the web view's own
// commands, look-up, the item just before Copy (when it is not a system item), Copy and Paste,
// then the page's items. Every other system item is dropped. One separator between two groups,
// and none first, last or twice in a row.
std::vector<MenuEntry> rebuildMenu(const std::vector<Proposed>& proposed,
                                   const std::vector<PageItem>& page);

// The page's side of one window's context menu. Page items are used for at most one menu, and
// only when they arrived less than 2.0 s before it opened. A menu the page asked for (fresh
// items, even when none of them could be shown) that closed without a choice is reported 0.3 s
// later, so that a choice, which comes after the menu has closed, is seen first.
class ContextMenu {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFreshFor{2000};
  static constexpr std::chrono::milliseconds kCloseDelay{300};

  // `evaluate` runs a script in the page; it is not called once this object is gone.
  ContextMenu(EventLoop& main, std::function<void(const std::string& script)> evaluate);
  ContextMenu(const ContextMenu&) = delete;
  ContextMenu& operator=(const ContextMenu&) = delete;

  // The page's "contextMenu" message.
  void received(json::array items, Clock::time_point at);
  // A menu opens at `now` with what the web view proposes: the page's items for it, when they
  // are fresh, and the menu rebuilt (rebuildMenu). A menu with nothing to show never opens, so
  // it is reported closed at once.
  struct Opening {
    std::vector<PageItem> page;
    std::vector<MenuEntry> menu;
  };
  Opening opening(const std::vector<Proposed>& proposed, Clock::time_point now);
  // A page item was chosen; `id` is its id, when it has one.
  void chose(const std::optional<json::value>& id);
  // The menu closed, with or without a choice.
  void closed();

 private:
  EventLoop& main_;
  std::function<void(const std::string&)> evaluate_;
  std::optional<std::pair<json::array, Clock::time_point>> page_menu_;
  bool page_menu_open_ = false;
  bool page_item_chosen_ = false;
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

}  // namespace qs::windows
