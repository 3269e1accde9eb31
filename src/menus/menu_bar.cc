#include "menus/menu_bar.h"

#include <cctype>
#include <map>
#include <set>

#include "core/identity.h"
#include "core/text.h"

namespace qs::menus {

using Kind = MenuItem::Kind;
using Role = MenuItem::Role;

// ---- actions ----

MenuAction::Validation MenuAction::validate(const json::object* current) const {
  Validation v;
  if (setting) v.checked = setting();
  if (!current) {
    v.enabled = always;
    return v;
  }
  const MenuState state(current);
  if (checked) v.checked = checked(state);
  v.enabled = enabled ? enabled(state) : true;
  return v;
}

const MenuItem* MenuBar::find(std::string_view path) const {
  const std::vector<MenuItem>* items = &menus;
  const MenuItem* found = nullptr;
  while (!path.empty()) {
    const auto slash = path.find('/');
    const std::string_view title = path.substr(0, slash);
    found = nullptr;
    for (const auto& item : *items) {
      if (item.title == title) {
        found = &item;
        break;
      }
    }
    if (!found) return nullptr;
    if (slash == std::string_view::npos) break;
    items = &found->items;
    path.remove_prefix(slash + 1);
  }
  return found;
}

const std::vector<StatGroup>& stats() {
  static const std::vector<StatGroup> groups{
      {{"characters", "Characters"},
       {"noSpaces", "Characters Without Spaces"},
       {"words", "Words"},
       {"sentences", "Sentences"},
       {"paragraphs", "Paragraphs"},
       {"reading", "Reading Time"},
       {"speaking", "Speaking Time"}},
      {{"subtext", "Words in Subtext"}, {"context", "Words in Context"}},
      {{"yours", "Yours"}, {"theAIs", "The AI's"}, {"copiedAI", "Copied from AI"}},
  };
  return groups;
}

bool depthLibraryChecked(const MenuState& s) {
  auto d = s.depth();
  return d && d->library;
}

bool depthLevelChecked(const MenuState& s, std::optional<int> value) {
  auto d = s.depth();
  if (!d || d->only || d->library) return false;
  if (d->upTo) return value && *value == *d->upTo;
  return !value;
}

bool depthOnlyEnabled(const MenuState& s) {
  auto d = s.depth();
  return d && d->upTo && *d->upTo >= 1 && *d->upTo <= 3;
}

bool depthOnlyChecked(const MenuState& s) {
  auto d = s.depth();
  return d && d->only && !d->library;
}

// ---- the builder ----

namespace {

MenuItem titled(Kind kind, std::string title, std::string key = {}, unsigned mask = 0) {
  MenuItem item;
  item.kind = kind;
  item.title = std::move(title);
  item.key = std::move(key);
  item.mask = mask;
  return item;
}

}  // namespace

std::shared_ptr<MenuAction> MenuBuilder::keep(MenuAction action) {
  auto kept = std::make_shared<MenuAction>(std::move(action));
  actions.push_back(kept);
  return kept;
}

MenuItem MenuBuilder::cmd(std::string title, std::string key, unsigned mask, std::string command,
                          json::value args, Predicate enabled, Predicate checked, bool hidden) {
  MenuItem item = titled(Kind::kPageCommand, std::move(title), std::move(key), mask);
  item.hidden = hidden;
  item.command = command;
  item.args = args;
  MenuAction action;
  action.enabled = std::move(enabled);
  action.checked = std::move(checked);
  action.run = [command, args](const std::shared_ptr<MenuWindow>& window) {
    if (window) window->run(command, args, nullptr);
  };
  item.action = keep(std::move(action));
  return item;
}

MenuItem MenuBuilder::key(std::string title, std::string key, unsigned mask, std::string send,
                          std::string code, bool meta, bool ctrl) {
  MenuItem item = titled(Kind::kPageKey, std::move(title), std::move(key), mask);
  item.send = {
      std::move(send), std::move(code), (mask & kShift) != 0, (mask & kOption) != 0, ctrl, meta};
  MenuAction action;
  action.run = [descriptor = item.send](const std::shared_ptr<MenuWindow>& window) {
    if (window) window->pressKey(descriptor);
  };
  item.action = keep(std::move(action));
  return item;
}

MenuItem MenuBuilder::app(std::string title, std::string key, unsigned mask, AppCommand command,
                          bool no_window_needed) {
  MenuItem item = titled(Kind::kApplication, std::move(title), std::move(key), mask);
  item.app = command;
  MenuAction action;
  action.always = no_window_needed;
  AppCommands* commands = &commands_;
  if (command == AppCommand::kClaudeOnThisComputer) {
    action.setting = [commands] { return commands->claudeOn(); };
  }
  action.run = [commands, command](const std::shared_ptr<MenuWindow>& window) {
    commands->perform(command, window);
  };
  item.action = keep(std::move(action));
  return item;
}

MenuItem MenuBuilder::native(std::string title, std::string key, unsigned mask,
                             std::function<void(const std::shared_ptr<MenuWindow>&)> run,
                             Predicate enabled) {
  MenuItem item = titled(Kind::kApplication, std::move(title), std::move(key), mask);
  MenuAction action;
  action.enabled = std::move(enabled);
  action.run = std::move(run);
  item.action = keep(std::move(action));
  return item;
}

MenuItem MenuBuilder::platform(std::string title, std::string key, unsigned mask,
                               PlatformCommand command) {
  MenuItem item = titled(Kind::kPlatform, std::move(title), std::move(key), mask);
  item.platform = command;
  return item;
}

MenuItem MenuBuilder::separator() {
  return MenuItem{};
}

MenuItem MenuBuilder::label(std::string title) {
  return titled(Kind::kLabel, std::move(title));
}

MenuItem MenuBuilder::menu(std::string title, std::vector<MenuItem> items, Role role) {
  MenuItem item = titled(Kind::kSubmenu, std::move(title));
  item.items = std::move(items);
  item.role = role;
  return item;
}

namespace {

Predicate flag(std::string key) {
  return [key](const MenuState& s) { return s.boolean(key); };
}
Predicate is(std::string key, std::string value) {
  return [key, value](const MenuState& s) { return s.is(key, value); };
}
Predicate notFlag(std::string key) {
  return [key](const MenuState& s) { return !s.boolean(key); };
}

std::string siteHost() {
  std::string_view site = identity::kWebSite;
  if (auto at = site.find("://"); at != std::string_view::npos) site.remove_prefix(at + 3);
  return std::string(site);
}

}  // namespace

MenuBar MenuBuilder::buildMenu() {
  constexpr unsigned C = kCommand, S = kShift, O = kOption, T = kControl;
  std::vector<MenuItem> bar;

  bar.push_back(menu("Quillstone",
                     {
                         app("About Quillstone", "", 0, AppCommand::kAbout, true),
                         app("Check for Updates\u2026", "", 0, AppCommand::kCheckForUpdates, true),
                         separator(),
                         cmd("Settings\u2026", ",", C, "settings"),
                         separator(),
                         menu("Services", {}, Role::kServices),
                         separator(),
                         platform("Hide Quillstone", "h", C, PlatformCommand::kHide),
                         platform("Hide Others", "h", O | C, PlatformCommand::kHideOthers),
                         platform("Show All", "", 0, PlatformCommand::kShowAll),
                         separator(),
                         platform("Quit Quillstone", "q", C, PlatformCommand::kQuit),
                     }));

  std::vector<MenuItem> recent;
  for (int n = 1; n <= 9; ++n) {
    recent.push_back(
        cmd("Recent Document " + std::to_string(n), std::to_string(n), C, "openRecent", n));
  }
  bar.push_back(
      menu("File",
           {
               cmd("New Document", "n", C, "newDoc"),
               app("New Window", "n", O | C, AppCommand::kNewWindow, true),
               cmd("New Folder", "", 0, "newGroup"),
               app("Open\u2026", "o", S | C, AppCommand::kOpen, true),
               menu("Open Recent", {}, Role::kOpenRecent),
               cmd("Go to Document\u2026", "o", C, "switcher"),
               menu("Recent Documents", std::move(recent), Role::kRecentDocuments),
               separator(),
               cmd("Duplicate Document", "s", S | C, "duplicateDoc"),
               cmd("Rename\u2026", "", 0, "rename"),
               cmd("History\u2026", "h", T | C, "history"),
               platform("Close", "w", C, PlatformCommand::kClose),
               separator(),
               app("Import\u2026", "i", S | C, AppCommand::kImport, true),
               app("Import Backup from the Browser\u2026", "", 0, AppCommand::kImportBackup, true),
               menu("Export",
                    {
                        cmd("PDF\u2026", "", 0, "export:pdf"),
                        cmd("Word (.docx)\u2026", "", 0, "export:word"),
                        cmd("Markdown (.md)", "", 0, "export:markdown"),
                        separator(),
                        cmd("Copy for Chat\u2026", "", 0, "export:chat"),
                        cmd("Project File (.json)", "", 0, "export:project"),
                    }),
               separator(),
               app("Show in Files", "r", S | C, AppCommand::kShowInFiles, true),
               app("Open Writing Folder", "", 0, AppCommand::kOpenWritingFolder, true),
               app("Move Writing Folder\u2026", "", 0, AppCommand::kMoveWritingFolder, true),
               app("Show Restore Points", "", 0, AppCommand::kShowRestorePoints, true),
               separator(),
               cmd("Print\u2026", "p", C, "preview"),
           }));

  bar.push_back(menu(
      "Edit",
      {
          cmd("Undo", "z", C, "undo", nullptr, flag("canUndo")),
          cmd("Redo", "z", S | C, "redo", nullptr, flag("canRedo")),
          separator(),
          platform("Cut", "x", C, PlatformCommand::kCut),
          platform("Copy", "c", C, PlatformCommand::kCopy),
          platform("Paste", "v", C, PlatformCommand::kPaste),
          platform("Paste and Match Style", "v", O | S | C, PlatformCommand::kPasteAsPlainText),
          platform("Select All", "a", C, PlatformCommand::kSelectAll),
          separator(),
          cmd("Duplicate", "d", C, "duplicate"),
          cmd("Delete Paragraph or Thought", std::string(kBackspace), S | C, "deleteThought"),
          separator(),
          cmd("Bold", "b", C, "bold"),
          cmd("Italic", "i", C, "italic"),
          cmd("Highlight", "h", S | C, "highlight"),
          separator(),
          key("Move Up", std::string(kUpArrow), O, "ArrowUp", "ArrowUp", false, false),
          key("Move Down", std::string(kDownArrow), O, "ArrowDown", "ArrowDown", false, false),
          separator(),
          menu("Find",
               {
                   cmd("Find\u2026", "f", C, "find"),
                   cmd("Find and Replace\u2026", "f", O | C, "replace"),
                   cmd("Find Next", "g", C, "findNext"),
                   cmd("Find Previous", "g", S | C, "findPrevious"),
                   separator(),
                   cmd("Search Everything\u2026", "k", S | C, "searchAll"),
               }),
          menu("Spelling and Grammar",
               {
                   platform("Show Spelling and Grammar", ":", C,
                            PlatformCommand::kShowSpellingPanel),
                   platform("Check Document Now", ";", C, PlatformCommand::kCheckSpelling),
                   separator(),
                   platform("Check Spelling While Typing", "", 0,
                            PlatformCommand::kSpellingWhileTyping),
                   platform("Check Grammar With Spelling", "", 0,
                            PlatformCommand::kGrammarWithSpelling),
               }),
      }));

  std::vector<MenuItem> depth;
  depth.push_back(cmd("Library", "l", T | C, "depth", "library", {}, depthLibraryChecked));
  depth.push_back(separator());
  for (const auto& level : kDepthLevels) {
    json::value value = level.value ? json::value(*level.value) : json::value("all");
    const std::optional<int> v = level.value;
    depth.push_back(cmd(std::string(level.title), std::string(level.key), T | C, "depth", value, {},
                        [v](const MenuState& s) { return depthLevelChecked(s, v); }));
  }
  depth.push_back(separator());
  depth.push_back(
      cmd("Only This Level", "", 0, "depthOnly", nullptr, depthOnlyEnabled, depthOnlyChecked));

  std::vector<MenuItem> count;
  count.push_back(cmd("In the Corner", "", 0, "statCorner", nullptr, {}, flag("statCorner")));
  count.push_back(separator());
  for (std::size_t g = 0; g < stats().size(); ++g) {
    if (g > 0) count.push_back(separator());
    for (const auto& [value, label] : stats()[g]) {
      count.push_back(cmd(std::string(label), "", 0, "stat", json::value(value), {},
                          is("statShown", std::string(value))));
    }
  }

  auto libraryView = [](std::string view) {
    return [view](const MenuState& s) { return s.boolean("library") && s.is("libraryView", view); };
  };
  bar.push_back(menu(
      "View",
      {
          native("Text | Subtext", "'", C,
                 [](const std::shared_ptr<MenuWindow>& window) {
                   if (!window) return;
                   const MenuState state(&window->menuState());
                   window->run(state.is("mode", "outline") ? "page" : "outline", nullptr, nullptr);
                 }),
          cmd("Text", "", 0, "page", nullptr, {}, is("mode", "page")),
          cmd("Subtext", "", 0, "outline", nullptr, {}, is("mode", "outline")),
          separator(),
          cmd("Subtext Side by Side", "\\", C, "subtext", nullptr, {}, is("panelTab", "subtext")),
          cmd("Context", "", 0, "context", nullptr, {}, is("panelTab", "context")),
          cmd("Pretext", "v", S | C, "pretext", nullptr, {}, is("panelTab", "pretext")),
          cmd("Documents", "d", S | C, "drawer", nullptr, {}, flag("drawer")),
          cmd("Library", "l", S | C, "library", nullptr, {}, flag("library")),
          cmd("Librarian\u2026", "l", O | C, "librarian", nullptr, flag("librarian"),
              flag("librarianOpen")),
          cmd("as Cards", "1", T | C, "libraryView", "cards", {}, libraryView("cards")),
          cmd("as List", "2", T | C, "libraryView", "list", {}, libraryView("list")),
          cmd("as Columns", "3", T | C, "libraryView", "columns", {}, libraryView("columns")),
          cmd("Index", "", 0, "index"),
          cmd("Timeline", "", 0, "timeline"),
          menu("Subtext Depth", std::move(depth)),
          cmd("Expand All", "", 0, "expandAll", nullptr, flag("foldable")),
          cmd("Collapse All", "", 0, "collapseAll", nullptr, flag("foldable")),
          separator(),
          cmd("Typewriter", "t", O | C, "typewriter", nullptr, {}, flag("typewriter")),
          cmd("Writing Only", "f", S | C, "focus", nullptr, {}, flag("full")),
          cmd("Write Hot", "t", T | C, "hot", nullptr, {}, is("temp", "hot")),
          cmd("Edit Cold", "", 0, "cold", nullptr, {}, is("temp", "cold")),
          platform("Enter Full Screen", "f", T | C, PlatformCommand::kFullScreen),
          separator(),
          cmd("Display\u2026", "", 0, "display"),
          menu("Show Count", std::move(count)),
          cmd("Paragraph Numbers", "", 0, "paragraphNumbers", nullptr, {},
              flag("paragraphNumbers")),
          cmd("Larger Text", "+", C, "textLarger"),
          cmd("Larger Text", "=", C, "textLarger", nullptr, {}, {}, true),
          cmd("Smaller Text", "-", C, "textSmaller"),
          cmd("Actual Size", "0", C, "textReset"),
          separator(),
          cmd("Back", std::string(kLeftArrow), T | C, "back"),
          cmd("Forward", std::string(kRightArrow), T | C, "forward"),
          cmd("Next Document", std::string(kDownArrow), T | C, "nextDoc"),
          cmd("Previous Document", std::string(kUpArrow), T | C, "prevDoc"),
      }));

  bar.push_back(menu("See", {
                                key("Focus", "1", O | C, "1", "Digit1", true, false),
                                key("Parts of Speech", "2", O | C, "2", "Digit2", true, false),
                                key("Style Check", "3", O | C, "3", "Digit3", true, false),
                                key("Authorship", "4", O | C, "4", "Digit4", true, false),
                            }));

  bar.push_back(menu(
      "Insert",
      {
          cmd("Subtext on Selection", "e", C, "subtextOnSelection", nullptr, flag("hasSelection")),
          cmd("Context Note", "m", O | C, "contextNote", nullptr, flag("hasSelection")),
          cmd("Hypertext", "k", C, "hypertext", nullptr, flag("hasSelection")),
          cmd("Image\u2026", "", 0, "insertImage"),
          cmd("Bullet as Document", "k", O | C, "bulletAsDocument", nullptr,
              notFlag("onThreadRow")),
          separator(),
          cmd("Send Beneath", "]", C, "sendBeneath"),
          cmd("Bring Up to the Surface", "", 0, "toSurface", nullptr, notFlag("onThreadRow")),
          cmd("Zoom Out", "[", C, "zoomOut"),
      }));

  bar.push_back(menu(
      "AI", {
                cmd("Ghost Editor", "g", O | C, "ghost"),
                cmd("Ask", "", 0, "ask"),
                cmd("The Whole Piece\u2026", "a", T | C, "docThread", nullptr, flag("canDocThread"),
                    flag("docThread")),
                separator(),
                native(
                    "AI for This Document\u2026", "", 0,
                    [](const std::shared_ptr<MenuWindow>& window) {
                      if (!window) return;
                      std::weak_ptr<MenuWindow> weak = window;
                      window->run("reader", nullptr, [weak](bool handled) {
                        auto still = weak.lock();
                        if (!handled && still)
                          still->pressPath({"More", "AI for this document\u2026"});
                      });
                    },
                    flag("aiOn")),
                cmd("Your Moves", "", 0, "moves", nullptr,
                    [](const MenuState& s) { return s.boolean("aiOn") || s.boolean("hasNudges"); }),
                cmd("AI Settings\u2026", "", 0, "aiSettings"),
                app("Claude on This Computer", "", 0, AppCommand::kClaudeOnThisComputer, true),
                separator(),
                label("The AI writes only beneath the page."),
            }));

  bar.push_back(menu("Window",
                     {
                         platform("Minimize", "m", C, PlatformCommand::kMinimize),
                         platform("Zoom", "", 0, PlatformCommand::kZoom),
                         separator(),
                         platform("Show Previous Tab", "{", S | C, PlatformCommand::kPreviousTab),
                         platform("Show Next Tab", "}", S | C, PlatformCommand::kNextTab),
                         platform("Merge All Windows", "", 0, PlatformCommand::kMergeWindows),
                         separator(),
                         platform("Bring All to Front", "", 0, PlatformCommand::kBringAllToFront),
                     },
                     Role::kWindows));

  bar.push_back(menu("Help",
                     {
                         cmd("Guide", "", 0, "fieldGuide"),
                         app("Keyboard Shortcuts", "/", C, AppCommand::kKeyboardShortcuts, true),
                         separator(),
                         app(siteHost(), "", 0, AppCommand::kWebSite, true),
                         app("Privacy Policy", "", 0, AppCommand::kPrivacyPolicy, true),
                     },
                     Role::kHelp));

  return MenuBar{std::move(bar), actions};
}

// ---- display rules ----

namespace {

bool isAsciiLetter(std::string_view key) {
  return key.size() == 1 && std::isalpha(static_cast<unsigned char>(key[0]));
}

}  // namespace

void shiftedAsCapitals(std::vector<MenuItem>& items) {
  for (auto& item : items) {
    shiftedAsCapitals(item.items);
    if ((item.mask & kShift) && isAsciiLetter(item.key) &&
        std::islower(static_cast<unsigned char>(item.key[0]))) {
      item.key[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(item.key[0])));
    }
  }
}

void shiftedAsCapitals(MenuBar& bar) {
  shiftedAsCapitals(bar.menus);
}

namespace {

bool hasLinuxCounterpart(const MenuItem& item) {
  if (item.kind == Kind::kSubmenu) return item.role != Role::kServices;
  if (item.kind != Kind::kPlatform) return true;
  switch (item.platform) {
    case PlatformCommand::kHideOthers:           // no desktop lets one program hide the others
    case PlatformCommand::kShowSpellingPanel:    // the web view has no spelling panel
    case PlatformCommand::kCheckSpelling:        // nor a whole-document check
    case PlatformCommand::kGrammarWithSpelling:  // nor grammar checking
    case PlatformCommand::kPreviousTab:          // windows have no tabs here
    case PlatformCommand::kNextTab:
    case PlatformCommand::kMergeWindows:
      return false;
    default:
      return true;
  }
}

void tidySeparators(std::vector<MenuItem>& items) {
  std::vector<MenuItem> kept;
  for (auto& item : items) {
    const bool separator = item.kind == Kind::kSeparator;
    if (separator && (kept.empty() || kept.back().kind == Kind::kSeparator)) continue;
    kept.push_back(std::move(item));
  }
  if (!kept.empty() && kept.back().kind == Kind::kSeparator) kept.pop_back();
  items = std::move(kept);
}

void adaptItems(std::vector<MenuItem>& items) {
  std::erase_if(items, [](const MenuItem& item) { return !hasLinuxCounterpart(item); });
  for (auto& item : items) {
    for (const auto& moved : kDesktopKeys) {
      if (item.title == moved.title && item.key == moved.key && item.mask == moved.from) {
        item.mask = moved.to;
      }
    }
    adaptItems(item.items);
  }
  tidySeparators(items);
}

std::string slug(std::string_view title) {
  std::string out;
  bool gap = false;
  for (unsigned char c : title) {
    if (std::isalnum(c)) {
      if (gap && !out.empty()) out.push_back('-');
      gap = false;
      out.push_back(static_cast<char>(std::tolower(c)));
    } else {
      gap = true;
    }
  }
  return out.empty() ? "item" : out;
}

void nameItems(std::vector<MenuItem>& items, const std::string& menu, std::set<std::string>& taken,
               std::map<std::pair<std::string, std::string>, std::string>& by_command) {
  // Visible items first, so that a hidden one finds the name of its visible twin.
  for (int pass = 0; pass < 2; ++pass) {
    for (auto& item : items) {
      if (item.kind == Kind::kSubmenu) {
        if (pass == 0) nameItems(item.items, slug(item.title), taken, by_command);
        continue;
      }
      if (item.kind == Kind::kSeparator || item.kind == Kind::kLabel) continue;
      if (item.hidden != (pass == 1)) continue;
      const auto command = std::make_pair(item.command, json::compact(item.args).value_or(""));
      if (item.hidden && item.kind == Kind::kPageCommand && by_command.contains(command)) {
        item.name = by_command[command];
        continue;
      }
      std::string name = slug(item.title);
      if (taken.contains(name)) name = menu + "-" + name;
      for (int n = 2; taken.contains(name); ++n) name = slug(item.title) + "-" + std::to_string(n);
      taken.insert(name);
      item.name = name;
      if (item.kind == Kind::kPageCommand) by_command.emplace(command, name);
    }
  }
}

}  // namespace

void nameActions(MenuBar& bar) {
  std::set<std::string> taken;
  std::map<std::pair<std::string, std::string>, std::string> by_command;
  for (auto& menu : bar.menus) nameItems(menu.items, slug(menu.title), taken, by_command);
}

void adaptForLinux(MenuBar& bar) {
  adaptItems(bar.menus);
  nameActions(bar);
}

// ---- keys on this desktop ----

namespace {

struct KeyName {
  std::string_view key;
  std::string_view accel;  // the key's name in an accelerator
  std::string_view label;  // and as the desktop prints it
};
constexpr KeyName kKeyNames[] = {
    {",", "comma", ","},          {"'", "apostrophe", "'"},     {"\\", "backslash", "Backslash"},
    {"[", "bracketleft", "["},    {"]", "bracketright", "]"},   {"{", "braceleft", "{"},
    {"}", "braceright", "}"},     {"+", "plus", "+"},           {"=", "equal", "="},
    {"-", "minus", "-"},          {"/", "slash", "/"},          {":", "colon", ":"},
    {";", "semicolon", ";"},      {" ", "space", "Space"},      {"\b", "BackSpace", "BackSpace"},
    {"\r", "Return", "Return"},   {"\t", "Tab", "Tab"},         {kUpArrow, "Up", "Up"},
    {kDownArrow, "Down", "Down"}, {kLeftArrow, "Left", "Left"}, {kRightArrow, "Right", "Right"},
};

const KeyName* named(std::string_view key) {
  for (const auto& k : kKeyNames) {
    if (k.key == key) return &k;
  }
  return nullptr;
}

}  // namespace

std::string linuxAccelerator(std::string_view key, unsigned mask) {
  if (key.empty()) return {};
  std::string out;
  if (mask & kShift) out += "<Shift>";
  if (mask & kCommand) out += "<Primary>";
  if (mask & kOption) out += "<Alt>";
  if (mask & kControl) out += "<Super>";
  if (const KeyName* k = named(key)) {
    out += k->accel;
  } else if (isAsciiLetter(key)) {
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(key[0]))));
  } else {
    out += key;
  }
  return out;
}

std::string glyphs(const MenuItem& item) {
  if (item.key.empty()) return {};
  const bool capital =
      isAsciiLetter(item.key) && std::isupper(static_cast<unsigned char>(item.key[0]));
  std::string out;
  if ((item.mask & kShift) || capital) out += "Shift+";
  if (item.mask & kCommand) out += "Ctrl+";
  if (item.mask & kOption) out += "Alt+";
  if (item.mask & kControl) out += "Super+";
  if (const KeyName* k = named(item.key)) {
    out += k->label;
  } else if (isAsciiLetter(item.key)) {
    out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(item.key[0]))));
  } else {
    out += item.key;
  }
  return out;
}

std::vector<ShortcutSection> shortcutSections(const MenuBar& bar) {
  std::vector<ShortcutSection> sections;
  for (const auto& menu : bar.menus) {
    ShortcutSection section{menu.title, {}};
    for (const auto& item : menu.items) {
      if (item.hidden || item.key.empty() || item.kind == Kind::kSubmenu) continue;
      section.lines.push_back({item.title, glyphs(item)});
    }
    if (!section.lines.empty()) sections.push_back(std::move(section));
  }
  return sections;
}

// ---- key routing ----

unsigned maskFromLinux(bool shift, bool ctrl, bool alt, bool super) {
  return (shift ? kShift : 0u) | (ctrl ? kCommand : 0u) | (alt ? kOption : 0u) |
         (super ? kControl : 0u);
}

bool opensMenuBar(std::string_view key, unsigned flags) {
  return key == "F10" && (flags & (kShift | kControl | kOption | kCommand)) == 0;
}

bool menuHandles(std::string_view characters, unsigned flags, const MenuState& state) {
  std::string c(characters);
  for (auto& ch : c) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  flags &= kShift | kControl | kOption | kCommand;
  const bool fallback = (flags & (kCommand | kControl)) != 0;
  if (flags == (kControl | kCommand)) {
    if ((c == "1" || c == "2" || c == "3") && !state.boolean("library")) return false;
    if (c == "t") return false;
    return fallback;
  }
  if (flags == kCommand) {
    if (c == "c" || c == "v" || c == "x" || c == "a") return false;
    if (c == "k" && !state.boolean("hasSelection")) return false;
    return fallback;
  }
  return fallback;
}

// ---- recent documents ----

std::string menuTitle(std::string_view text) {
  std::string clean = text::makeValidUTF8(text);
  for (auto& c : clean) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = ' ';
  }
  constexpr std::size_t kLongest = 80;
  if (clean.size() > kLongest && text::graphemeCount(clean) > kLongest) {
    return text::graphemePrefix(clean, kLongest - 1) + "\u2026";
  }
  return clean;
}

std::array<RecentSlot, 9> nameRecentDocs(const MenuState& state) {
  std::array<RecentSlot, 9> slots;
  const json::value* raw = state.find("recent");
  const json::array* list = raw && raw->is_array() ? &raw->get_array() : nullptr;
  const std::size_t length = list ? list->size() : 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (length == 0) {
      slots[i] = {"Recent Document " + std::to_string(i + 1), true};
    } else if (i < length) {
      std::string title;
      if ((*list)[i].is_object()) {
        if (auto t = json::findString((*list)[i].get_object(), "title")) title = *t;
      }
      slots[i] = {title.empty() ? "Untitled" : menuTitle(title), true};
    } else {
      slots[i] = {"Untitled", false};
    }
  }
  return slots;
}

}  // namespace qs::menus
