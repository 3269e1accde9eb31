#include "menus/menu_bar_gtk.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "core/guarded.h"
#include "core/identity.h"
#include "library/library.h"
#include "menus/app_actions.h"
#include "menus/recent_documents.h"
#include "menus/shortcuts_window_gtk.h"
#include "platform/file_chooser.h"
#include "platform/file_viewer.h"
#include "platform/prefs.h"

namespace qs::menus {

namespace fs = std::filesystem;
using Kind = MenuItem::Kind;
using Role = MenuItem::Role;

struct MenuBarGtk::Bound {
  MenuBarGtk* self;
  const MenuItem* item;
};

namespace {

// Labels are read with "_" marking a mnemonic; text from elsewhere keeps its underscores.
std::string literal(std::string_view text) {
  std::string out;
  for (char c : text) {
    out.push_back(c);
    if (c == '_') out.push_back('_');
  }
  return out;
}

// The clipboard keys reach the page (or the focused text field) by themselves: the menu only
// shows them.
bool shownOnly(const MenuItem& item) {
  if (item.kind != Kind::kPlatform) return false;
  switch (item.platform) {
    case PlatformCommand::kCut:
    case PlatformCommand::kCopy:
    case PlatformCommand::kPaste:
    case PlatformCommand::kSelectAll:
      return true;
    default:
      return false;
  }
}

bool needsWindow(PlatformCommand command) {
  switch (command) {
    case PlatformCommand::kClose:
    case PlatformCommand::kCut:
    case PlatformCommand::kCopy:
    case PlatformCommand::kPaste:
    case PlatformCommand::kPasteAsPlainText:
    case PlatformCommand::kSelectAll:
    case PlatformCommand::kFullScreen:
    case PlatformCommand::kMinimize:
    case PlatformCommand::kZoom:
      return true;
    default:
      return false;
  }
}

void setState(GSimpleAction* action, bool on) {
  g_autoptr(GVariant) now = g_action_get_state(G_ACTION(action));
  const bool same =
      now && g_variant_is_of_type(now, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(now) == on;
  if (!same) g_simple_action_set_state(action, g_variant_new_boolean(on));
}

}  // namespace

MenuBarGtk::MenuBarGtk(MenuServices services)
    : services_(std::move(services)), host_(services_.host), application_(services_.application) {}

MenuBarGtk::~MenuBarGtk() {
  if (active_window_handler_) g_signal_handler_disconnect(application_, active_window_handler_);
  if (recent_handler_) {
    g_signal_handler_disconnect(gtk_recent_manager_get_default(), recent_handler_);
  }
  g_clear_object(&open_recent_);
  g_clear_object(&recent_documents_);
  g_clear_object(&windows_);
}

// ---- building ----

void MenuBarGtk::install() {
  // The program's icon, for the About window: installed in the icon theme, or beside a build.
  const fs::path icons = services_.resources / "icons";
  std::error_code missing;
  if (fs::is_directory(icons, missing)) {
    gtk_icon_theme_add_search_path(gtk_icon_theme_get_for_display(gdk_display_get_default()),
                                   icons.c_str());
  }
  gtk_window_set_default_icon_name(std::string(identity::kApplicationId).c_str());

  MenuBuilder builder(*this);
  bar_ = builder.buildMenu();
  adaptForLinux(bar_);
  shiftedAsCapitals(bar_);

  g_autoptr(GMenu) top = g_menu_new();
  for (const auto& menu : bar_.menus) {
    g_autoptr(GMenu) submenu = makeMenu(menu.items);
    g_autoptr(GMenuItem) entry =
        g_menu_item_new_submenu(literal(menu.title).c_str(), G_MENU_MODEL(submenu));
    if (menu.role == Role::kWindows) {
      // The open windows follow the menu's own items, listed as the menu opens.
      windows_ = g_menu_new();
      g_menu_append_section(submenu, nullptr, G_MENU_MODEL(windows_));
      addSubmenuAction("window-menu-shown", &MenuBarGtk::fillWindows);
      g_menu_item_set_attribute(entry, "submenu-action", "s", "app.window-menu-shown");
    }
    g_menu_append_item(top, entry);
  }
  // Accelerators in menu order, so that of two items on one key the first one wins.
  for (const auto& [name, keys] : accels_) {
    std::vector<const char*> list;
    for (const auto& k : keys) list.push_back(k.c_str());
    list.push_back(nullptr);
    gtk_application_set_accels_for_action(application_, ("app." + name).c_str(), list.data());
  }
  gtk_application_set_menubar(application_, G_MENU_MODEL(top));

  addTargetActions();
  auto on_window = +[](GObject*, GParamSpec*, gpointer self) {
    guarded([&] { static_cast<MenuBarGtk*>(self)->refresh(); });
  };
  active_window_handler_ =
      g_signal_connect(application_, "notify::active-window", G_CALLBACK(on_window), this);
  refresh();
}

GMenu* MenuBarGtk::makeMenu(const std::vector<MenuItem>& items) {
  g_autoptr(GMenu) menu = g_menu_new();
  g_autoptr(GMenu) section = g_menu_new();
  auto closeSection = [&] {
    g_autoptr(GMenu) full = std::exchange(section, g_menu_new());
    if (g_menu_model_get_n_items(G_MENU_MODEL(full)) > 0) {
      g_menu_append_section(menu, nullptr, G_MENU_MODEL(full));
    }
  };
  for (const auto& item : items) {
    switch (item.kind) {
      case Kind::kSeparator:
        closeSection();
        break;
      case Kind::kLabel: {
        // No action: shown, never chosen.
        g_menu_append(section, literal(item.title).c_str(), nullptr);
        break;
      }
      case Kind::kSubmenu: {
        g_autoptr(GMenu) sub = nullptr;
        std::string opener;
        if (item.role == Role::kOpenRecent) {
          open_recent_ = g_menu_new();
          sub = G_MENU(g_object_ref(open_recent_));
          for (const auto& entry : item.items) addAction(entry);
          addSubmenuAction("open-recent-shown", &MenuBarGtk::fillOpenRecent);
          opener = "app.open-recent-shown";
        } else if (item.role == Role::kRecentDocuments) {
          recent_documents_ = g_menu_new();
          sub = G_MENU(g_object_ref(recent_documents_));
          recent_items_ = &item;
          for (const auto& entry : item.items) addAction(entry);
          addSubmenuAction("recent-documents-shown", &MenuBarGtk::fillRecentDocuments);
          opener = "app.recent-documents-shown";
        } else {
          sub = makeMenu(item.items);
        }
        g_autoptr(GMenuItem) entry =
            g_menu_item_new_submenu(literal(item.title).c_str(), G_MENU_MODEL(sub));
        if (!opener.empty())
          g_menu_item_set_attribute(entry, "submenu-action", "s", opener.c_str());
        g_menu_append_item(section, entry);
        break;
      }
      default: {
        addAction(item);
        if (item.hidden) break;  // its key stays, as a second key of its twin
        g_autoptr(GMenuItem) entry =
            g_menu_item_new(literal(item.title).c_str(), ("app." + item.name).c_str());
        const std::string accel = linuxAccelerator(item.key, item.mask);
        if (!accel.empty()) g_menu_item_set_attribute(entry, "accel", "s", accel.c_str());
        g_menu_append_item(section, entry);
        break;
      }
    }
  }
  closeSection();
  return static_cast<GMenu*>(g_steal_pointer(&menu));
}

void MenuBarGtk::addAction(const MenuItem& item) {
  if (item.name.empty()) return;
  const std::string accel = linuxAccelerator(item.key, item.mask);
  if (!accel.empty() && !shownOnly(item)) {
    auto at = std::find_if(accels_.begin(), accels_.end(),
                           [&](const auto& a) { return a.first == item.name; });
    if (at == accels_.end()) {
      accels_.push_back({item.name, {accel}});
    } else {
      at->second.push_back(accel);
    }
  }
  if (g_action_map_lookup_action(G_ACTION_MAP(application_), item.name.c_str())) return;
  const bool stateful =
      (item.action && (item.action->checked || item.action->setting)) ||
      (item.kind == Kind::kPlatform && item.platform == PlatformCommand::kSpellingWhileTyping);
  g_autoptr(GSimpleAction) action =
      stateful
          ? g_simple_action_new_stateful(item.name.c_str(), nullptr, g_variant_new_boolean(false))
          : g_simple_action_new(item.name.c_str(), nullptr);
  bound_.push_back(std::make_unique<Bound>(Bound{this, &item}));
  g_signal_connect(action, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
                     guarded([&] {
                       auto* bound = static_cast<Bound*>(data);
                       if (bound->item->action) {
                         bound->item->action->fire(bound->self->host_.currentWindow());
                       } else if (bound->item->kind == Kind::kPlatform) {
                         bound->self->platform(bound->item->platform);
                       }
                     });
                   }),
                   bound_.back().get());
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(action));
}

void MenuBarGtk::addSubmenuAction(const std::string& name, void (MenuBarGtk::*fill)()) {
  // GTK sets the state to true as the submenu opens and waits for it: the items are made then.
  g_autoptr(GSimpleAction) action =
      g_simple_action_new_stateful(name.c_str(), nullptr, g_variant_new_boolean(false));
  struct Opener {
    MenuBarGtk* self;
    void (MenuBarGtk::*fill)();
  };
  g_signal_connect_data(
      action, "change-state", G_CALLBACK(+[](GSimpleAction* a, GVariant* value, gpointer data) {
        guarded([&] {
          auto* opener = static_cast<Opener*>(data);
          if (g_variant_get_boolean(value)) (opener->self->*opener->fill)();
        });
        g_simple_action_set_state(a, value);
      }),
      new Opener{this, fill}, +[](gpointer data, GClosure*) { delete static_cast<Opener*>(data); },
      GConnectFlags(0));
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(action));
}

// ---- state ----

void MenuBarGtk::refresh() {
  auto current = host_.currentWindow();
  const json::object* state = current ? &current->menuState() : nullptr;
  const bool any_window = activeWindow() != nullptr;
  for (const auto& bound : bound_) {
    const MenuItem& item = *bound->item;
    GAction* found = g_action_map_lookup_action(G_ACTION_MAP(application_), item.name.c_str());
    if (!found) continue;
    GSimpleAction* action = G_SIMPLE_ACTION(found);
    if (item.action) {
      const auto v = item.action->validate(state);
      g_simple_action_set_enabled(action, v.enabled);
      if (v.checked && g_action_get_state_type(found)) setState(action, *v.checked);
    } else if (item.kind == Kind::kPlatform) {
      g_simple_action_set_enabled(action, !needsWindow(item.platform) || any_window);
      if (item.platform == PlatformCommand::kSpellingWhileTyping) {
        setState(action, webkit_web_context_get_spell_checking_enabled(services_.web_context));
      }
    }
  }
}

void MenuBarGtk::stateArrived(const MenuWindow* window) {
  auto current = host_.currentWindow();
  if (current && current.get() == window) refresh();
}

GtkWindow* MenuBarGtk::activeWindow() const {
  return gtk_application_get_active_window(application_);
}

bool MenuBarGtk::claudeOn() const {
  return services_.prefs.get("claudeOnMac").value_or(false) == json::value(true);
}

// ---- submenus filled as they open ----

void MenuBarGtk::addTargetActions() {
  // Open Recent's documents, its Clear Menu and the Window menu's windows.
  g_autoptr(GSimpleAction) open = g_simple_action_new("open-recent", G_VARIANT_TYPE_BYTESTRING);
  g_signal_connect(open, "activate",
                   G_CALLBACK(+[](GSimpleAction*, GVariant* target, gpointer self) {
                     guarded([&] {
                       static_cast<MenuBarGtk*>(self)->host_.open(g_variant_get_bytestring(target));
                     });
                   }),
                   this);
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(open));
  g_autoptr(GSimpleAction) clear_action = g_simple_action_new("clear-menu", nullptr);
  g_signal_connect(
      clear_action, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer self) {
        guarded([&] { static_cast<MenuBarGtk*>(self)->platform(PlatformCommand::kClearRecent); });
      }),
      this);
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(clear_action));

  g_autoptr(GSimpleAction) show = g_simple_action_new("show-window", G_VARIANT_TYPE_UINT32);
  g_signal_connect(show, "activate",
                   G_CALLBACK(+[](GSimpleAction*, GVariant* target, gpointer self) {
                     guarded([&] {
                       const auto windows = static_cast<MenuBarGtk*>(self)->host_.windowList();
                       const guint32 index = g_variant_get_uint32(target);
                       if (index < windows.size()) windows[index]->present();
                     });
                   }),
                   this);
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(show));
}

void MenuBarGtk::fillOpenRecent() {
  GtkRecentManager* manager = gtk_recent_manager_get_default();
  g_autolist(GtkRecentInfo) infos = gtk_recent_manager_get_items(manager);
  std::vector<std::pair<gint64, fs::path>> dated;
  for (GList* l = infos; l; l = l->next) {
    auto* info = static_cast<GtkRecentInfo*>(l->data);
    g_autofree char* path = g_filename_from_uri(gtk_recent_info_get_uri(info), nullptr, nullptr);
    if (path) {
      GDateTime* when = gtk_recent_info_get_modified(info);
      dated.emplace_back(when ? g_date_time_to_unix(when) : 0, path);
    }
  }
  std::stable_sort(dated.begin(), dated.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<fs::path> recent;
  for (auto& [when, path] : dated) recent.push_back(std::move(path));
  const auto entries = openRecentEntries(recent, services_.library.root(), [](const fs::path& p) {
    std::error_code ignored;
    return fs::is_directory(p, ignored);
  });

  g_menu_remove_all(open_recent_);
  g_autoptr(GMenu) documents = g_menu_new();
  // The items carry no file icon: GTK 4's menus (4.8 here) show an item's icon only in place of
  // its label, in a row of icon buttons, and hide it beside a label.
  for (const auto& entry : entries) {
    g_autoptr(GMenuItem) item = g_menu_item_new(literal(menuTitle(entry.title)).c_str(), nullptr);
    g_menu_item_set_action_and_target_value(item, "app.open-recent",
                                            g_variant_new_bytestring(entry.path.c_str()));
    g_menu_append_item(documents, item);
  }
  if (!entries.empty()) g_menu_append_section(open_recent_, nullptr, G_MENU_MODEL(documents));
  g_autoptr(GMenu) clear = g_menu_new();
  g_menu_append(clear, "Clear Menu", "app.clear-menu");
  g_menu_append_section(open_recent_, nullptr, G_MENU_MODEL(clear));
}

void MenuBarGtk::fillRecentDocuments() {
  auto current = host_.currentWindow();
  const auto slots = nameRecentDocs(MenuState(current ? &current->menuState() : nullptr));
  g_menu_remove_all(recent_documents_);
  // A slot beyond the page's list is left out of the menu; its key still reaches the page.
  std::size_t i = 0;
  for (const auto& item : recent_items_->items) {
    if (item.kind != Kind::kPageCommand || i >= slots.size()) continue;
    const RecentSlot& slot = slots[i++];
    if (!slot.shown) continue;
    g_autoptr(GMenuItem) entry =
        g_menu_item_new(literal(slot.title).c_str(), ("app." + item.name).c_str());
    g_menu_item_set_attribute(entry, "accel", "s", linuxAccelerator(item.key, item.mask).c_str());
    g_menu_append_item(recent_documents_, entry);
  }
}

void MenuBarGtk::fillWindows() {
  g_menu_remove_all(windows_);
  const auto windows = host_.windowList();
  for (guint32 i = 0; i < windows.size(); ++i) {
    GtkWindow* w = windows[i]->gtkWindow();
    if (!w) continue;
    const char* title = gtk_window_get_title(w);
    g_autoptr(GMenuItem) entry =
        g_menu_item_new(literal(menuTitle(title ? title : "")).c_str(), nullptr);
    g_menu_item_set_action_and_target_value(entry, "app.show-window", g_variant_new_uint32(i));
    g_menu_append_item(windows_, entry);
  }
}

// ---- application actions ----

void MenuBarGtk::perform(AppCommand command, const std::shared_ptr<MenuWindow>& current) {
  GtkWindow* parent = activeWindow();
  switch (command) {
    case AppCommand::kAbout:
      host_.showAbout(parent);
      return;
    case AppCommand::kCheckForUpdates:
      openWithDefaultApp(siteURL(kDownloadPath));
      return;
    case AppCommand::kNewWindow:
      host_.openNewWindow();
      return;
    case AppCommand::kOpen:
      openPanel(parent);
      return;
    case AppCommand::kImport:
      host_.importPanel();
      return;
    case AppCommand::kImportBackup:
      host_.offerImport(false);
      return;
    case AppCommand::kShowInFiles: {
      auto* window = dynamic_cast<MenuTargetGtk*>(current.get());
      auto& library = services_.library;
      showInFileViewer(revealTarget(
          window ? window->docID() : std::nullopt,
          [&](const std::string& id) { return library.url(id); }, library.root()));
      return;
    }
    case AppCommand::kOpenWritingFolder:
      openWithDefaultApp(fileURI(services_.library.root()));
      return;
    case AppCommand::kMoveWritingFolder:
      host_.moveWritingFolder();
      return;
    case AppCommand::kShowRestorePoints: {
      const fs::path folder = restorePointsFolder(services_.library.support());
      std::error_code error;
      if (fs::is_directory(folder, error)) {
        openWithDefaultApp(fileURI(folder));
      } else {
        alert(parent, kNoRestorePoints, kNoRestorePointsDetail);
      }
      return;
    }
    case AppCommand::kClaudeOnThisComputer:
      host_.toggleClaudeOnMac(parent);
      return;
    case AppCommand::kKeyboardShortcuts:
      if (!shortcuts_) shortcuts_ = std::make_unique<ShortcutsPanel>();
      shortcuts_->show(application_, shortcutSections(bar_));
      return;
    case AppCommand::kWebSite:
      openWithDefaultApp(siteURL("/"));
      return;
    case AppCommand::kPrivacyPolicy:
      openWithDefaultApp(siteURL("/privacy/"));
      return;
  }
}

void MenuBarGtk::platform(PlatformCommand command) {
  GtkWindow* active = activeWindow();
  auto current = host_.currentWindow();
  WebKitWebView* page = current && current->gtkWindow() == active ? current->webView() : nullptr;
  auto editing = [&](const char* page_command, const char* widget_action) {
    if (page) {
      webkit_web_view_execute_editing_command(page, page_command);
    } else if (GtkWidget* focus = active ? gtk_root_get_focus(GTK_ROOT(active)) : nullptr) {
      gtk_widget_activate_action(focus, widget_action, nullptr);
    }
  };
  GList* all = gtk_application_get_windows(application_);
  switch (command) {
    case PlatformCommand::kHide:
      // No desktop here hides a program; its windows are minimized instead.
      for (GList* l = all; l; l = l->next) gtk_window_minimize(GTK_WINDOW(l->data));
      break;
    case PlatformCommand::kShowAll:
    case PlatformCommand::kBringAllToFront: {
      std::vector<GtkWindow*> windows;
      for (GList* l = all; l; l = l->next) windows.push_back(GTK_WINDOW(l->data));
      // Back to front, so that the window in front stays in front.
      for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        if (gtk_widget_get_visible(GTK_WIDGET(*it))) gtk_window_present(*it);
      }
      break;
    }
    case PlatformCommand::kQuit:
      host_.quit();
      break;
    case PlatformCommand::kClose:
      if (active) gtk_window_close(active);
      break;
    case PlatformCommand::kCut:
      editing(WEBKIT_EDITING_COMMAND_CUT, "clipboard.cut");
      break;
    case PlatformCommand::kCopy:
      editing(WEBKIT_EDITING_COMMAND_COPY, "clipboard.copy");
      break;
    case PlatformCommand::kPaste:
      editing(WEBKIT_EDITING_COMMAND_PASTE, "clipboard.paste");
      break;
    case PlatformCommand::kPasteAsPlainText:
      editing(WEBKIT_EDITING_COMMAND_PASTE_AS_PLAIN_TEXT, "clipboard.paste");
      break;
    case PlatformCommand::kSelectAll:
      editing(WEBKIT_EDITING_COMMAND_SELECT_ALL, "selection.select-all");
      break;
    case PlatformCommand::kSpellingWhileTyping: {
      WebKitWebContext* context = services_.web_context;
      const bool on = !webkit_web_context_get_spell_checking_enabled(context);
      webkit_web_context_set_spell_checking_enabled(context, on);
      (void)services_.prefs.set("WebContinuousSpellCheckingEnabled", on);
      refresh();
      break;
    }
    case PlatformCommand::kFullScreen:
      if (active) {
        if (gtk_window_is_fullscreen(active)) {
          gtk_window_unfullscreen(active);
        } else {
          gtk_window_fullscreen(active);
        }
      }
      break;
    case PlatformCommand::kMinimize:
      if (active) gtk_window_minimize(active);
      break;
    case PlatformCommand::kZoom:
      if (active) {
        if (gtk_window_is_maximized(active)) {
          gtk_window_unmaximize(active);
        } else {
          gtk_window_maximize(active);
        }
      }
      break;
    case PlatformCommand::kClearRecent: {
      // The desktop keeps one list for every program: only our documents leave it.
      GtkRecentManager* manager = gtk_recent_manager_get_default();
      g_autolist(GtkRecentInfo) infos = gtk_recent_manager_get_items(manager);
      for (GList* l = infos; l; l = l->next) {
        auto* info = static_cast<GtkRecentInfo*>(l->data);
        const char* uri = gtk_recent_info_get_uri(info);
        g_autofree char* path = g_filename_from_uri(uri, nullptr, nullptr);
        if (path && isPackagePath(path)) gtk_recent_manager_remove_item(manager, uri, nullptr);
      }
      break;
    }
    default:
      break;  // left out of this desktop's menus
  }
}

void MenuBarGtk::openPanel(GtkWindow* parent) {
  GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
      "Open", parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Open", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), TRUE);
  startIn(GTK_FILE_CHOOSER(chooser), services_.library.root());
  g_signal_connect(
      chooser, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer self) {
        guarded([&] {
          if (response != GTK_RESPONSE_ACCEPT) return;
          const std::vector<fs::path> chosen = chosenPaths(GTK_FILE_CHOOSER(dialog));
          auto* bar = static_cast<MenuBarGtk*>(self);
          const auto choice = choosePackages(chosen);
          for (const auto& package : choice.packages) bar->host_.open(package);
          if (!choice.refused.empty()) {
            bar->alert(bar->activeWindow(), refusedMessage(choice.refused), kRefusedDetail);
          }
        });
        g_object_unref(dialog);
      }),
      this);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

void MenuBarGtk::alert(GtkWindow* parent, const std::string& message, const std::string& detail) {
  GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                             GTK_BUTTONS_OK, "%s", message.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", detail.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), message.c_str());
  g_signal_connect(dialog, "response", G_CALLBACK(gtk_window_destroy), nullptr);
  gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace qs::menus
