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

#include "app/prefs.h"
#include "app/window_registry.h"
#include "bridge/host_log.h"
#include "claude/claude_bridge.h"
#include "core/event_loop.h"
#include "library/folder_watch.h"
#include "library/library.h"
#include "platform/glib_event_loop.h"
#include "platform/trash.h"
#include "preview/search_index.h"

namespace qs::windows {
class DocumentWindowGtk;
class SchemeHandler;
}  // namespace qs::windows

namespace qs::app {

class AppDelegate final : public claude::ReplyTargets {
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
  void closed(const windows::DocumentWindowGtk* window);
  void wrote(const json::array& records, const windows::DocumentWindowGtk* from);
  void open(const std::filesystem::path& file);
  void quit();
  void showAbout(GtkWindow* parent);
  // The "Claude on This Mac" switch: asks before turning it on, then reloads every page.
  void toggleClaudeOnMac(GtkWindow* parent);

  // claude::ReplyTargets: the window showing the document, else the active one, else the first.
  std::shared_ptr<claude::ReplyTarget> targetFor(const std::optional<std::string>& doc_id) override;

  // Shared by every window.
  EventLoop& mainLoop() { return main_loop_; }
  WorkerPool& background() { return background_; }
  Prefs& prefs() { return prefs_; }
  library::Library& library() { return *library_; }
  WebKitWebContext* webContext() const { return web_context_; }
  WebKitNetworkSession* networkSession() const { return network_session_; }
  const std::string& bridgeScript();
  const std::filesystem::path& resources() const { return resources_; }
  claude::ClaudeBridge& claude() { return *claude_; }

 private:
  void startup();
  void activate();
  // At the end of the run: stops taking work and lets the work in flight finish.
  void shutdown();
  void openFiles(GFile** files, int count);
  void finishLaunching();
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
  WindowRegistry registry_;
  std::shared_ptr<windows::SchemeHandler> scheme_handler_;
  WebKitWebContext* web_context_ = nullptr;
  WebKitNetworkSession* network_session_ = nullptr;
  std::optional<std::string> bridge_script_;
  std::vector<std::filesystem::path> pending_open_;
  bool launched_ = false;
};

}  // namespace qs::app
