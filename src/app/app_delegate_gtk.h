// The desktop program: one GtkApplication (a second launch hands its files to the running
// one), the window registry, the library and the services every window shares. Main thread
// only.
#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/activation.h"
#include "app/window_registry.h"
#include "app/writing_folder.h"
#include "auth/host_auth.h"
#include "claude/claude_bridge.h"
#include "core/event_loop.h"
#include "core/host_log.h"
#include "import/import_flow_gtk.h"
#include "library/folder_watch.h"
#include "library/library.h"
#include "menus/menu_bar_gtk.h"
#include "platform/glib_event_loop.h"
#include "platform/prefs.h"
#include "platform/trash.h"
#include "preview/search_index.h"
#include "windows/document_window_gtk.h"

namespace qs::windows {
class SchemeHandler;
}  // namespace qs::windows

namespace qs::app {

class FolderDialogsGtk;
class FolderMoveGtk;

// The application is the one place that knows every part: it makes the windows, the menu bar
// and the import flow, and answers what each of them asks of it.
class AppDelegate final : public claude::ReplyTargets,
                          public windows::WindowOwner,
                          public menus::MenuHostGtk,
                          public ImportWindowsGtk {
 public:
  AppDelegate();
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  static AppDelegate& shared();
  int run(int argc, char** argv);

  // A new document window on `doc_id`, registered and shown.
  std::shared_ptr<windows::DocumentWindowGtk> newWindow(std::optional<std::string> doc_id,
                                                        std::optional<Size> size);
  void open(const std::filesystem::path& file) override;
  // A result chosen in the desktop's search: the window showing the document comes to the
  // front, or a new one opens on it.
  void openSearchResult(const std::string& doc_id);
  void quit() override;
  void showAbout(GtkWindow* parent) override;
  // The "Claude on This Computer" switch: asks before turning it on, then reloads every page.
  void toggleClaudeOnMac(GtkWindow* parent) override;
  // The current document window: the active one, else the most recently active; none when no
  // document window is open.
  std::shared_ptr<windows::DocumentWindowGtk> key() const;
  // Brings `window` to the front: with the launcher's token while a second launch (or the
  // desktop's search) is being answered, so that the desktop lets it take the focus.
  void present(GtkWindow* window) override;
  // A launch's platform data, from the moment GApplication hands it on until its signal has
  // run (called by the application's own class).
  void launchArrived(std::optional<Activation> activation) { activation_ = std::move(activation); }

  // Importing (src/import/import_flow_gtk.cc): a backup, the backup offer (first_run false is
  // the menu's "Import Backup from the Browser…"), the import panel (the menu's "Import…"), and
  // files for a window's page.
  void importBackup(const std::filesystem::path& file);
  void offerImport(bool first_run) override;
  void importPanel() override;
  void importFiles(const std::vector<std::filesystem::path>& files);

  // claude::ReplyTargets: the window showing the document, else the active one, else the first.
  std::shared_ptr<claude::ReplyTarget> targetFor(const std::optional<std::string>& doc_id) override;

  // windows::WindowOwner
  const json::object* currentMenuState() const override;
  void menuStateChanged(const windows::DocumentWindowGtk* window) override;
  void wrote(const json::array& records, const windows::DocumentWindowGtk* from) override;
  void closed(const windows::DocumentWindowGtk* window) override;
  const std::string& bridgeScript() override;

  // menus::MenuHostGtk
  std::shared_ptr<menus::MenuTargetGtk> currentWindow() const override { return key(); }
  std::vector<std::shared_ptr<menus::MenuTargetGtk>> windowList() const override;
  void openNewWindow() override { newWindow(std::nullopt, std::nullopt); }
  void moveWritingFolder() override;

  // ImportWindowsGtk
  GtkWindow* currentGtkWindow() const override;
  void reloadAfterImport() override;
  void importIntoWindow(std::vector<std::filesystem::path> files) override;

  // What the writing folder's move uses.
  EventLoop& mainLoop() { return main_loop_; }
  WorkerPool& background() { return background_; }
  library::Library& library() { return *library_; }

  // The writing folder is known and the library started; until then windows and files wait.
  bool launched() const { return launched_; }
  WindowRegistry& registry() { return registry_; }
  WritingFolder& writingFolder() { return *writing_folder_; }
  FolderMoveGtk& folderMove();
  // The folder watch on the library's root, in place of any before it.
  void watchWritingFolder();
  // The library's start scan and its upkeep, once the first window is up.
  void beginLibraryWork();
  void stopWatchingWritingFolder();

 private:
  void startup();
  void activate();
  // At the end of the run: stops taking work and lets the work in flight finish.
  void shutdown();
  void openFiles(GFile** files, int count);
  void finishLaunching(const std::filesystem::path& root);
  bool restoreWindows();
  static gboolean decideDownloadDestination(WebKitDownload* download, char* suggested,
                                            gpointer data);

  GtkApplication* application_ = nullptr;
  GLibEventLoop main_loop_;
  WorkerPool background_{2};
  Prefs prefs_;
  std::filesystem::path resources_;
  std::unique_ptr<ThreadSerialQueue> log_queue_;
  std::unique_ptr<HostLog> log_;
  std::unique_ptr<Trash> trash_;
  std::unique_ptr<SearchIndex> spotlight_;
  std::unique_ptr<library::Library> library_;
  std::unique_ptr<ThreadSerialQueue> watch_queue_;
  std::unique_ptr<library::FolderWatch> folder_watch_;
  std::unique_ptr<claude::ClaudeBridge> claude_;
  std::unique_ptr<menus::MenuBarGtk> menu_bar_;
  std::unique_ptr<ImportFlowGtk> import_;
  std::unique_ptr<auth::HostAuth> auth_;
  WindowRegistry registry_;
  std::shared_ptr<windows::SchemeHandler> scheme_handler_;
  WebKitWebContext* web_context_ = nullptr;
  WebKitNetworkSession* network_session_ = nullptr;
  std::optional<std::string> bridge_script_;
  std::vector<std::filesystem::path> pending_open_;
  std::unique_ptr<WritingFolder> writing_folder_;
  std::unique_ptr<FolderDialogsGtk> launch_dialogs_;
  std::unique_ptr<FolderMoveGtk> folder_move_;
  bool launched_ = false;
  bool library_begun_ = false;
  bool activated_early_ = false;
  bool activated_ = false;                // the first activation (saved windows) has happened
  std::optional<Activation> activation_;  // the launch being answered
};

}  // namespace qs::app
