// One document window: a GTK window whose whole content is a web view showing the editor page,
// with the window controls laid over its top-left corner. It answers the page's host messages,
// calls into the page, keeps its title in step with the page, and settles the page before it
// closes or reloads. Main thread only.
//
// GTK 4 does not place windows (window managers and Wayland do), so a window keeps its size
// and is placed by the desktop; there is no window tabbing.
#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/host_messages.h"
#include "bridge/page_calls.h"
#include "bridge/page_scripting.h"
#include "claude/claude_bridge.h"
#include "core/event_loop.h"
#include "menus/menu_bar_gtk.h"
#include "windows/document_window.h"
#include "windows/page_print.h"

namespace qs {
class PendingImports;
class Prefs;
}  // namespace qs

namespace qs::auth {
class HostAuth;
}  // namespace qs::auth

namespace qs::library {
class Library;
}  // namespace qs::library

namespace qs::windows {

class ContextMenuGtk;
class DocumentWindowGtk;

// The application's side of its document windows: what a window tells it and asks of it. The
// application outlives every window.
class WindowOwner {
 public:
  virtual ~WindowOwner() = default;
  // Brings `window` to the front (with the launch's token while a launch is being answered).
  virtual void present(GtkWindow* window) = 0;
  // The current document window's menu state, for the keys the menu bar may take; null when no
  // document window is open.
  virtual const json::object* currentMenuState() const = 0;
  // `window` reported a new menu state.
  virtual void menuStateChanged(const DocumentWindowGtk* window) = 0;
  // Records `from`'s page wrote, for every other window.
  virtual void wrote(const json::array& records, const DocumentWindowGtk* from) = 0;
  // `window` closed; called on a turn of the main loop after GTK's destroy.
  virtual void closed(const DocumentWindowGtk* window) = 0;
  // The bridge script every page is given.
  virtual const std::string& bridgeScript() = 0;
};

// What a document window is given when it is made: the services every window shares, which
// outlive every window.
struct WindowServices {
  WindowOwner& owner;
  GtkApplication* application;
  EventLoop& main_loop;
  WorkerPool& background;
  Prefs& prefs;
  library::Library& library;
  claude::ClaudeBridge& claude;
  auth::HostAuth& auth;
  WebKitWebContext* web_context;
  WebKitNetworkSession* network_session;
  bool debug;  // QUILLSTONE_DEBUG: the web inspector, and a probe of the page's state
};

class DocumentWindowGtk final : public RegisteredWindow,
                                public bridge::HostWindow,
                                public claude::ReplyTarget,
                                public menus::MenuTargetGtk,
                                public std::enable_shared_from_this<DocumentWindowGtk> {
 public:
  static std::shared_ptr<DocumentWindowGtk> create(const WindowServices& services,
                                                   std::optional<std::string> doc_id,
                                                   std::optional<Size> size);
  ~DocumentWindowGtk() override;

  // Shows the window; the first time, its page is asked for right after.
  void present() override;
  // The program is ending: the page's messages are no longer taken, and nothing GTK or WebKit
  // does from here on reaches this object.
  void shutDown();
  // Reloads the page behind a picture of it, after letting the page settle.
  void reloadQuietly();
  // Hands files to the page's file input, or keeps them until the page has loaded
  // (window_import_gtk.cc).
  void importFiles(std::vector<std::filesystem::path> files);
  // After a backup import: the page picks up the new documents, and a window on a reserved
  // document opens afresh.
  void reloadAfterImport();
  // menus::MenuTargetGtk: the menus' door into the page.
  void run(const std::string& command, const json::value& arg,
           std::function<void(bool)> then = nullptr) override;
  void pressKey(const bridge::KeyDescriptor& key) override;
  void pressPath(std::vector<std::string> labels) override;
  const json::object& menuState() const override { return menu_state_; }
  WebKitWebView* webView() const override { return web_view_; }
  GtkWindow* gtkWindow() const override { return window_; }

  // RegisteredWindow
  std::optional<std::string> docID() const override { return doc_id_; }
  bool loaded() const override { return loaded_; }
  bool hasWindow() const override { return window_ != nullptr; }
  std::string frameText() const override;
  void settle(std::function<void()> done) override;
  void enqueueExternal(json::array records) override;

  // bridge::HostWindow
  void setDocID(std::string id) override;
  void setTitle(std::string title) override;
  void setMenuState(json::object state) override;
  void setPageMenu(json::array items, std::chrono::steady_clock::time_point at) override;
  void printPage() override;
  void saveFile(std::string name, std::string dataURL) override;
  void applyChrome(const json::object& message) override;
  void drag() override;
  void zoom() override;
  void loaded() override;
  void revealInFileViewer(const std::filesystem::path& path) override;
  void wrote(json::array records) override;
  std::pair<bool, std::optional<std::string>> claudeAsk(const json::object& request) override;
  bool claudeCancel(std::string_view requestId) override;
  void authSignIn(Value done) override;
  void authToken(Token done) override;
  void authUser(Value done) override;
  void authSignOut(Done done) override;

  // claude::ReplyTarget
  void claudeReply(std::string id, json::array bullets, std::string from, json::object options,
                   std::function<void(std::optional<bool>)> then) override;

 private:
  DocumentWindowGtk(const WindowServices& services, std::optional<std::string> doc_id);
  // Builds the window by its parts, in this order.
  void build(std::optional<Size> size);
  void buildWebView();
  void buildPageBridge();
  void buildWindow(std::optional<Size> size);
  void connectWindowSignals();
  void connectPageSignals();
  void watchPresses();
  void installScripts();
  void loadHome();
  void updateTitle();
  void requestClose();
  void windowClosed();
  void finishedLoading();
  void openOutside(const std::string& uri);
  void receiveMessage(JSCValue* value, WebKitScriptMessageReply* reply);
  bool decidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type);
  void fadeCover();

  WindowServices services_;
  std::optional<std::string> doc_id_;
  std::string title_;
  bool loaded_ = false;
  bool home_asked_ = false;
  bool closing_ = false;
  std::string tone_ = "light";
  json::object menu_state_;
  CloseGate close_gate_;

  GtkWindow* window_ = nullptr;
  GtkWidget* overlay_ = nullptr;
  GtkWidget* controls_ = nullptr;
  GtkWidget* cover_ = nullptr;
  WebKitWebView* web_view_ = nullptr;
  WebKitUserContentManager* content_ = nullptr;
  GtkGesture* press_ = nullptr;
  GdkDevice* press_device_ = nullptr;  // the last press's, for a move the page asks for
  std::optional<PagePress> last_press_;

  std::unique_ptr<bridge::PageScripting> scripting_;
  std::unique_ptr<bridge::PageCalls> calls_;
  std::unique_ptr<bridge::HostDispatcher> dispatcher_;
  std::unique_ptr<ContextMenuGtk> context_menu_;
  std::unique_ptr<PendingImports> pending_imports_;
  std::unique_ptr<PrintService> print_service_;
  std::unique_ptr<PagePrinter> printer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qs::windows
