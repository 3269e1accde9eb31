// The menu bar on the desktop: the table of menu_bar.h as a GMenu installed on the application
// (so the desktop, accessibility tools and the session bus see it) and one GAction per item,
// whose enabled flags and check marks follow the current document window's last state. It also
// carries out the application actions that need no page. Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "menus/menu_bar.h"

namespace qs::app {
class AppDelegate;
}  // namespace qs::app

namespace qs::menus {

class ShortcutsPanel;

class MenuBarGtk final : public AppCommands {
 public:
  MenuBarGtk(app::AppDelegate& app, GtkApplication* application);
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
  GSimpleAction* addSubmenuAction(const std::string& name, void (MenuBarGtk::*fill)());
  void platform(PlatformCommand command);
  void fillOpenRecent();
  void fillRecentDocuments();
  void fillWindows();
  void openPanel(GtkWindow* parent);
  void alert(GtkWindow* parent, const std::string& message, const std::string& detail);
  GtkWindow* activeWindow() const;

  app::AppDelegate& app_;
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
