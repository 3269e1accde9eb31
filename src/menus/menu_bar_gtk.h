// The menu bar on the desktop: the table of menu_bar.h as a GMenu installed on the application
// (so the desktop, accessibility tools and the session bus see it) and one GAction per item,
// whose enabled flags and check marks follow the current document window's last state. It also
// carries out the application actions that need no page. Main thread only.
#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "menus/menu_bar.h"

namespace qs {
class Prefs;
}  // namespace qs

namespace qs::library {
class Library;
}  // namespace qs::library

namespace qs::menus {

class ShortcutsPanel;

// A document window as the menus on the desktop see it: the target of their commands.
class MenuTargetGtk : public MenuWindow {
 public:
  virtual std::optional<std::string> docID() const = 0;
  virtual GtkWindow* gtkWindow() const = 0;  // none once closed
  virtual WebKitWebView* webView() const = 0;
  virtual void present() = 0;
};

// What the menu bar asks of the application: its document windows, and the commands only the
// application carries out. The application outlives the menu bar.
class MenuHostGtk {
 public:
  virtual ~MenuHostGtk() = default;
  // The current document window: the active one, else the most recently active; none when no
  // document window is open.
  virtual std::shared_ptr<MenuTargetGtk> currentWindow() const = 0;
  // The document windows, in the order they were made.
  virtual std::vector<std::shared_ptr<MenuTargetGtk>> windowList() const = 0;
  virtual void open(const std::filesystem::path& file) = 0;
  virtual void openNewWindow() = 0;
  virtual void showAbout(GtkWindow* parent) = 0;
  virtual void importPanel() = 0;
  // The backup offer; `first_run` false is the menu's "Import Backup from the Browser…".
  virtual void offerImport(bool first_run) = 0;
  // Move Writing Folder…, over the current document window.
  virtual void moveWritingFolder() = 0;
  virtual void toggleClaudeOnMac(GtkWindow* parent) = 0;
  virtual void quit() = 0;
};

// What the menu bar is given when it is made; all of it outlives the menu bar.
struct MenuServices {
  MenuHostGtk& host;
  GtkApplication* application;
  Prefs& prefs;
  library::Library& library;
  WebKitWebContext* web_context;
  std::filesystem::path resources;  // the folder that may hold "icons/" (a build's)
};

class MenuBarGtk final : public AppCommands {
 public:
  explicit MenuBarGtk(MenuServices services);
  ~MenuBarGtk() override;
  MenuBarGtk(const MenuBarGtk&) = delete;
  MenuBarGtk& operator=(const MenuBarGtk&) = delete;

  // Builds the menu bar and its actions and installs them; once.
  void install();
  // Reads the current window's state into every action. Called when a state arrives for the
  // current window, when the current window changes and when a setting the menus show changes.
  void refresh();
  // A window reported a new state.
  void stateArrived(const MenuWindow* window);

  // AppCommands
  void perform(AppCommand command, const std::shared_ptr<MenuWindow>& current) override;
  bool claudeOn() const override;

  const MenuBar& bar() const { return bar_; }

 private:
  struct Bound;
  GMenu* makeMenu(const std::vector<MenuItem>& items);
  void addAction(const MenuItem& item);
  void addTargetActions();
  void addSubmenuAction(const std::string& name, void (MenuBarGtk::*fill)());
  void platform(PlatformCommand command);
  void fillOpenRecent();
  void fillRecentDocuments();
  void fillWindows();
  void openPanel(GtkWindow* parent);
  void alert(GtkWindow* parent, const std::string& message, const std::string& detail);
  GtkWindow* activeWindow() const;

  MenuServices services_;
  MenuHostGtk& host_;
  GtkApplication* application_;
  MenuBar bar_;
  std::vector<std::unique_ptr<Bound>> bound_;
  std::vector<std::pair<std::string, std::vector<std::string>>> accels_;
  GMenu* open_recent_ = nullptr;
  GMenu* recent_documents_ = nullptr;
  GMenu* windows_ = nullptr;
  const MenuItem* recent_items_ = nullptr;  // the Recent Documents submenu's nine items
  std::unique_ptr<ShortcutsPanel> shortcuts_;
  gulong active_window_handler_ = 0;
  gulong recent_handler_ = 0;
};

}  // namespace qs::menus
