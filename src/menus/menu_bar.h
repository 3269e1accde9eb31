// The menu bar as data: every menu and item in order, what each item does, when it is enabled
// and checked, and how its key equivalent reads on this desktop. The GTK side only turns it into
// a GMenu and GActions (menu_bar_gtk.h); everything a test would check is here.
//
// Keys are kept as the table writes them (⌃ control, ⌥ option, ⇧ shift, ⌘ command over a key
// character) and mapped once for this desktop: ⌘ is Ctrl (<Primary>), ⌥ is Alt, ⇧ is Shift and ⌃,
// which the table only uses with ⌘, is Super.
//
// Main thread only (the actions call into windows); the pure functions may run anywhere.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/page_calls.h"
#include "core/json.h"
#include "menus/menu_state.h"

namespace qs::menus {

enum Modifier : unsigned {
  kShift = 1u << 0,
  kControl = 1u << 1,
  kOption = 1u << 2,
  kCommand = 1u << 3,
};

// Key equivalents that are not printable characters.
inline constexpr std::string_view kBackspace = "\b";
inline constexpr std::string_view kUpArrow = "\uF700";
inline constexpr std::string_view kDownArrow = "\uF701";
inline constexpr std::string_view kLeftArrow = "\uF702";
inline constexpr std::string_view kRightArrow = "\uF703";

// What the menus need of the current document window.
class MenuWindow {
 public:
  virtual ~MenuWindow() = default;
  virtual const json::object& menuState() const = 0;
  // Runs a page command; `then` gets the page's answer (true only when it handled it). A window
  // that goes away drops `then`.
  virtual void run(const std::string& command, const json::value& args,
                   std::function<void(bool)> then) = 0;
  virtual void pressKey(const bridge::KeyDescriptor& key) = 0;
  virtual void pressPath(std::vector<std::string> labels) = 0;
};

// Application actions, carried out natively.
enum class AppCommand {
  kAbout,
  kCheckForUpdates,
  kNewWindow,
  kOpen,
  kImport,
  kImportBackup,
  kShowInFiles,
  kOpenWritingFolder,
  kMoveWritingFolder,
  kShowRestorePoints,
  kClaudeOnThisComputer,
  kKeyboardShortcuts,
  kWebSite,
  kPrivacyPolicy,
};

// The desktop's own actions (cut, close, full screen…). Their enabling is the platform's.
enum class PlatformCommand {
  kHide,
  kHideOthers,
  kShowAll,
  kQuit,
  kClose,
  kCut,
  kCopy,
  kPaste,
  kPasteAsPlainText,
  kSelectAll,
  kShowSpellingPanel,
  kCheckSpelling,
  kSpellingWhileTyping,
  kGrammarWithSpelling,
  kFullScreen,
  kMinimize,
  kZoom,
  kPreviousTab,
  kNextTab,
  kMergeWindows,
  kBringAllToFront,
  kClearRecent,
};

// The native side of the application actions.
class AppCommands {
 public:
  virtual ~AppCommands() = default;
  virtual void perform(AppCommand command, const std::shared_ptr<MenuWindow>& current) = 0;
  // The "claudeOnMac" setting, for the check mark of Claude on This Computer.
  virtual bool claudeOn() const = 0;
};

using Predicate = std::function<bool(const MenuState&)>;

// The target behind an item: whether it is enabled and checked, and what choosing it does.
struct MenuAction {
  bool always = false;  // enabled with no current document window
  Predicate enabled;    // none: enabled whenever there is a current window
  Predicate checked;    // none: the check mark is left alone
  // A check mark that follows an application setting, window or not.
  std::function<bool()> setting;
  std::function<void(const std::shared_ptr<MenuWindow>&)> run;

  struct Validation {
    bool enabled = false;
    std::optional<bool> checked;  // none: leave the check mark as it is
  };
  // `current` is the current document window's state, none when there is no window.
  Validation validate(const json::object* current) const;
  void fire(const std::shared_ptr<MenuWindow>& current) const {
    if (run) run(current);
  }
};

struct MenuItem {
  enum class Kind { kPageCommand, kPageKey, kApplication, kPlatform, kSubmenu, kSeparator, kLabel };
  enum class Role { kNone, kServices, kOpenRecent, kRecentDocuments, kWindows, kHelp };

  Kind kind = Kind::kSeparator;
  std::string title;
  std::string key;  // the key equivalent, empty for none
  unsigned mask = 0;
  bool hidden = false;
  std::string command;         // page command
  json::value args;            // its arguments, null for none
  bridge::KeyDescriptor send;  // page key
  AppCommand app = AppCommand::kAbout;
  PlatformCommand platform = PlatformCommand::kQuit;
  std::shared_ptr<MenuAction> action;  // page commands, page keys and application actions
  std::vector<MenuItem> items;         // a submenu's items
  Role role = Role::kNone;
  std::string name;  // the action name on this desktop, unique in the bar (see nameActions)
};

struct MenuBar {
  std::vector<MenuItem> menus;  // the top-level menus, each a submenu item
  // Every action made for any item, kept for the life of the application.
  std::vector<std::shared_ptr<MenuAction>> actions;

  const MenuItem* find(std::string_view title_path) const;  // "File/Export/PDF…"
};

// (title, key, value) of the Subtext Depth levels; a value of none is "all".
struct DepthLevel {
  std::string_view title;
  std::string_view key;
  std::optional<int> value;
};
inline constexpr std::array<DepthLevel, 5> kDepthLevels{{{"Points", "1", 0},
                                                         {"1 Level", "2", 1},
                                                         {"2 Levels", "3", 2},
                                                         {"3 Levels", "4", 3},
                                                         {"All Levels", "0", std::nullopt}}};

// The Show Count groups: (value, label).
using StatGroup = std::vector<std::pair<std::string_view, std::string_view>>;
const std::vector<StatGroup>& stats();

// The predicates of the Subtext Depth items.
bool depthLibraryChecked(const MenuState& s);
bool depthLevelChecked(const MenuState& s, std::optional<int> value);
bool depthOnlyEnabled(const MenuState& s);
bool depthOnlyChecked(const MenuState& s);

// Builds the items and their actions. `commands` must outlive the actions.
class MenuBuilder {
 public:
  explicit MenuBuilder(AppCommands& commands) : commands_(commands) {}

  MenuItem cmd(std::string title, std::string key, unsigned mask, std::string command,
               json::value args = nullptr, Predicate enabled = {}, Predicate checked = {},
               bool hidden = false);
  MenuItem key(std::string title, std::string key, unsigned mask, std::string send,
               std::string code, bool meta, bool ctrl);
  MenuItem app(std::string title, std::string key, unsigned mask, AppCommand command,
               bool no_window_needed);
  // An application action whose work is done here, through the current window.
  MenuItem native(std::string title, std::string key, unsigned mask,
                  std::function<void(const std::shared_ptr<MenuWindow>&)> run,
                  Predicate enabled = {});
  static MenuItem platform(std::string title, std::string key, unsigned mask,
                           PlatformCommand command);
  static MenuItem separator();
  static MenuItem label(std::string title);
  static MenuItem menu(std::string title, std::vector<MenuItem> items,
                       MenuItem::Role role = MenuItem::Role::kNone);

  // The whole menu bar, in order.
  MenuBar buildMenu();

  std::vector<std::shared_ptr<MenuAction>> actions;

 private:
  std::shared_ptr<MenuAction> keep(MenuAction action);
  AppCommands& commands_;
};

// Letter keys of items whose mask includes shift are shown as capitals: "o" becomes "O".
void shiftedAsCapitals(std::vector<MenuItem>& items);
void shiftedAsCapitals(MenuBar& bar);

// This desktop's menu bar from the table: the desktop's own actions it has no counterpart for
// are left out (Services, Hide Others, the spelling panel, grammar, window tabs), keys the
// desktop itself takes are moved (see kDesktopKeys), and separators are tidied. Then names
// every action (nameActions).
void adaptForLinux(MenuBar& bar);

// Keys the desktop takes before any program sees them, with the key used instead.
struct MovedKey {
  std::string_view title;
  std::string_view key;
  unsigned from;
  unsigned to;
};
inline constexpr std::array<MovedKey, 1> kDesktopKeys{{
    // Ctrl+Alt+T opens a terminal on GNOME, Xfce, Cinnamon and MATE.
    {"Typewriter", "t", kOption | kCommand, kOption | kShift | kCommand},
}};

// Gives every item with an action a unique action name: its title in lower case with runs of
// other characters as "-", prefixed by its menu's name when another item already has it.
// A hidden item shares the name of the visible item that runs the same command.
void nameActions(MenuBar& bar);

// The accelerator GTK parses for an item ("<Primary><Shift>o"); empty without a key.
std::string linuxAccelerator(std::string_view key, unsigned mask);
// The item's keys as the desktop prints accelerators ("Shift+Ctrl+O", "Ctrl+Super+Left").
std::string glyphs(const MenuItem& item);

// The keyboard shortcuts panel's lines: for each top-level menu, its direct items that are not
// hidden and have a key, in order; menus without any are left out.
struct ShortcutLine {
  std::string title;
  std::string keys;
};
struct ShortcutSection {
  std::string heading;
  std::vector<ShortcutLine> lines;
};
std::vector<ShortcutSection> shortcutSections(const MenuBar& bar);

// Whether the menu bar may try a key press before the page. `characters` are the key's
// characters ignoring modifiers; `flags` the modifiers held, in the table's mask.
bool menuHandles(std::string_view characters, unsigned flags, const MenuState& state);
// The table's mask for the modifiers held on this desktop.
unsigned maskFromLinux(bool shift, bool ctrl, bool alt, bool super);
// Whether a key press opens the menu bar, as GTK's convention has it: F10 alone (`key` is the
// key's name). It goes there before the page, which has no use for it; Shift+F10 stays the
// page's (a context menu).
bool opensMenuBar(std::string_view key, unsigned flags);

// A title from the page fit for a menu: valid UTF-8, control characters as spaces, and at most
// 80 characters (an ellipsis marks the cut).
std::string menuTitle(std::string_view text);

// The nine Recent Documents items as the page's "recent" list names them.
struct RecentSlot {
  std::string title;
  bool shown = true;
};
std::array<RecentSlot, 9> nameRecentDocs(const MenuState& state);

}  // namespace qs::menus
