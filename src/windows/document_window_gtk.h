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

#include "app/window_registry.h"
#include "bridge/host_messages.h"
#include "bridge/page_calls.h"
#include "bridge/page_scripting.h"
#include "claude/claude_bridge.h"
#include "menus/menu_bar.h"
#include "windows/document_window.h"
#include "windows/page_print.h"

namespace qs {
class PendingImports;
}  // namespace qs

namespace qs::app {
class AppDelegate;
}  // namespace qs::app

namespace qs::windows {

class ContextMenuGtk;

class DocumentWindowGtk final : public app::RegisteredWindow,
                                public bridge::HostWindow,
                                public claude::ReplyTarget,
                                public menus::MenuWindow,
                                public std::enable_shared_from_this<DocumentWindowGtk> {
 public:
  static std::shared_ptr<DocumentWindowGtk> create(app::AppDelegate& app,
                                                   GtkApplication* application,
                                                   std::optional<std::string> doc_id,
                                                   std::optional<app::Size> size);
  ~DocumentWindowGtk() override;

  // Shows the window; the first time, its page is asked for right after.
  void present();
  // The program is ending: the page's messages are no longer taken, and nothing GTK or WebKit
  // does from here on reaches this object.
  void shutDown();
  // Reloads the page behind a picture of it, after letting the page settle.
  void reloadQuietly();
  // Hands files to the page's file input, or keeps them until the page has loaded
  // (src/import/window_import_gtk.cc).
  void importFiles(std::vector<std::filesystem::path> files);
  // After a backup import: a window on a reserved document opens afresh.
  void clearDocID() { doc_id_.reset(); }
  // menus::MenuWindow: the menus' door into the page.
  void run(const std::string& command, const json::value& arg,
           std::function<void(bool)> then = nullptr) override;
  void pressKey(const bridge::KeyDescriptor& key) override;
  void pressPath(std::vector<std::string> labels) override;
  const json::object& menuState() const override { return menu_state_; }
  WebKitWebView* webView() const { return web_view_; }

  // app::RegisteredWindow
  std::optional<std::string> docID() const override { return doc_id_; }
  bool loaded() const override { return loaded_; }
  GtkWindow* gtkWindow() const { return window_; }
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
  DocumentWindowGtk(app::AppDelegate& app, std::optional<std::string> doc_id);
  void build(GtkApplication* application, std::optional<app::Size> size);
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

  app::AppDelegate& app_;
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
