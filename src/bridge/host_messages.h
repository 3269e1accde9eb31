// Host messages: the one channel from the editor page to the native side. The page posts one
// JSON object per request, its "op" naming the operation, and gets exactly one reply: a value,
// or an error text that rejects its promise. Values travel as the character U+001E followed by
// their JSON text, so that the page can tell them from anything the platform converts itself.
//
// The dispatcher talks to its window through HostWindow, so it runs (and is tested) without
// one; the command-line tool drives it with a HeadlessWindow.
//
// Threads: JSONText, encodeReply and fromAppPage are pure and may run anywhere. HostDispatcher,
// receive and every HostWindow method are main-thread only.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "core/event_loop.h"
#include "core/json.h"

namespace qs::library {
class Library;
}  // namespace qs::library

namespace qs::bridge {

// The compact JSON text of everything handed to the page.
struct JSONText {
  // A null pointer or a null value gives "null". None when the value can't be written as JSON
  // (NaN, the infinities, text that isn't valid UTF-8).
  static std::optional<std::string> text(const json::value* v);
  // How characters past ASCII are written in it.
  static json::NonAscii form();
};

inline constexpr char kReplyMark = '\x1e';  // U+001E, the first character of an encoded value

// The one answer to a host message. When `error` is set, `value` is absent. A value may come
// already encoded: U+001E and its JSON text, as JSONText writes it (a large answer is written
// straight from what was read rather than built as a value first).
struct PageReply {
  std::optional<json::value> value;
  std::optional<std::string> error;
  std::optional<std::string> encoded;

  static PageReply of(json::value v) { return {std::move(v), std::nullopt, std::nullopt}; }
  static PageReply failure(std::string text) {
    return {std::nullopt, std::move(text), std::nullopt};
  }
  static PageReply ofEncoded(std::string text) {
    return {std::nullopt, std::nullopt, std::move(text)};
  }
};

// What the platform's reply handler is given.
struct PlatformReply {
  // U+001E and the JSON text; the value itself when it couldn't be written as JSON (the
  // platform then converts it to page objects); null with an error.
  json::value value;
  std::optional<std::string> error;
};

// Encodes a reply for the platform. Logs a line when a value had to go unencoded.
PlatformReply encodeReply(PageReply reply);

// Everything a host message needs of its window and of the desktop. Main thread only.
class HostWindow {
 public:
  using Value = std::function<void(json::value)>;
  using Token = std::function<void(std::optional<std::string>)>;
  using Done = std::function<void()>;

  virtual ~HostWindow() = default;

  virtual void setDocID(std::string id) = 0;
  // Replaces the window's title and runs the title update.
  virtual void setTitle(std::string title) = 0;
  // The page's last reported state, read by the menus.
  virtual void setMenuState(json::object state) = 0;
  // The page's items for the next context menu, with the time they arrived.
  virtual void setPageMenu(json::array items, std::chrono::steady_clock::time_point at) = 0;
  virtual void printPage() = 0;
  // Offers to save `dataURL` under `name`; the outcome is nobody's business but the user's.
  virtual void saveFile(std::string name, std::string dataURL) = 0;
  // The whole "chrome" message.
  virtual void applyChrome(const json::object& message) = 0;
  // Starts a window drag from the last mouse-down in the page, when there is one.
  virtual void drag() = 0;
  // The title bar's double-click action, as the desktop's setting says.
  virtual void zoom() = 0;
  // The page is ready: the window starts delivery into it and schedules its own follow-ups.
  virtual void loaded() = 0;
  // Asks the file viewer to select `path`.
  virtual void revealInFileViewer(const std::filesystem::path& path) = 0;
  // Records this window wrote ([meta?, pretext?, docs...]), for every other window.
  virtual void wrote(json::array records) = 0;

  // The assistant bridge: (sent, message when not).
  virtual std::pair<bool, std::optional<std::string>> claudeAsk(const json::object& request) = 0;
  virtual bool claudeCancel(std::string_view requestId) = 0;

  // Sign-in. Each callback is called once, on the main thread. authSignIn answers the page's
  // value itself: {"user": …}, or {"error": "busy" | "cancelled" | "failed"}.
  virtual void authSignIn(Value done) = 0;
  virtual void authToken(Token done) = 0;
  // The signed-in user object, or null (read from the secret store, so answered later).
  virtual void authUser(Value done) = 0;
  virtual void authSignOut(Done done) = 0;
};

// A window without a screen, for the command-line tool: keeps what it is told, has no file
// viewer, printer or assistant, and no one can sign in. The tool gives it the assistant's
// exchange in a class of its own.
class HeadlessWindow : public HostWindow {
 public:
  void setDocID(std::string id) override { docID = std::move(id); }
  void setTitle(std::string t) override { title = std::move(t); }
  void setMenuState(json::object state) override { menuState = std::move(state); }
  void setPageMenu(json::array items, std::chrono::steady_clock::time_point) override {
    pageMenu = std::move(items);
  }
  void printPage() override {}
  void saveFile(std::string, std::string) override {}
  void applyChrome(const json::object& message) override { chrome = message; }
  void drag() override {}
  void zoom() override {}
  void loaded() override { isLoaded = true; }
  void revealInFileViewer(const std::filesystem::path&) override {}
  void wrote(json::array) override {}
  std::pair<bool, std::optional<std::string>> claudeAsk(const json::object&) override {
    return {false, std::nullopt};
  }
  bool claudeCancel(std::string_view) override { return false; }
  void authSignIn(Value done) override;
  void authToken(Token done) override { done(std::nullopt); }
  void authUser(Value done) override { done(nullptr); }
  void authSignOut(Done done) override { done(); }

  std::string docID;
  std::string title;
  json::object menuState;
  json::array pageMenu;
  json::object chrome;
  bool isLoaded = false;
};

// Answers one window's host messages. Main thread only.
//
// "open", "write" and "snapshot" run on `background` and reply on `main`. Work outstanding when
// the dispatcher is destroyed is dropped on its return to the main thread, reply included:
// the page it would answer has gone with its window. `library`, `main` and `background` must
// outlive any such work.
class HostDispatcher {
 public:
  using Reply = std::function<void(PageReply)>;

  HostDispatcher(library::Library& library, const std::filesystem::path& support, EventLoop& main,
                 WorkerPool& background, HostWindow& window);
  HostDispatcher(const HostDispatcher&) = delete;
  HostDispatcher& operator=(const HostDispatcher&) = delete;

  // Calls `reply` exactly once, at once or later on the main thread.
  void handle(const json::value& body, Reply reply);

 private:
  using Op = void (HostDispatcher::*)(const json::object& message, Reply& reply);
  static const Op* findOp(std::string_view name);

  // Runs `work` on the background pool, then `then` with its result on the main thread while
  // this dispatcher lives.
  template <typename Work, typename Then>
  void inBackground(Work work, Then then);

  void open(const json::object& message, Reply& reply);
  void write(const json::object& message, Reply& reply);
  void snapshot(const json::object& message, Reply& reply);
  void authSignIn(const json::object& message, Reply& reply);
  void authToken(const json::object& message, Reply& reply);
  void authUser(const json::object& message, Reply& reply);
  void authSignOut(const json::object& message, Reply& reply);
  void claudeAsk(const json::object& message, Reply& reply);
  void claudeCancel(const json::object& message, Reply& reply);
  void getImage(const json::object& message, Reply& reply);
  void putImage(const json::object& message, Reply& reply);
  void dropImage(const json::object& message, Reply& reply);
  void doc(const json::object& message, Reply& reply);
  void reveal(const json::object& message, Reply& reply);
  void state(const json::object& message, Reply& reply);
  void print(const json::object& message, Reply& reply);
  void contextMenu(const json::object& message, Reply& reply);
  void saveFile(const json::object& message, Reply& reply);
  void chrome(const json::object& message, Reply& reply);
  void drag(const json::object& message, Reply& reply);
  void zoom(const json::object& message, Reply& reply);
  void loaded(const json::object& message, Reply& reply);
  void log(const json::object& message, Reply& reply);

  library::Library& library_;
  const std::filesystem::path support_;
  EventLoop& main_;
  WorkerPool& background_;
  HostWindow& window_;
  // Work returning from the pool holds this weakly: expired means the dispatcher is gone.
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
  [[maybe_unused]] const std::thread::id main_thread_ = std::this_thread::get_id();
};

// The page is served from quillstone://app/; only its main frame may send host messages.
bool fromAppPage(std::string_view uri, bool is_main_frame);

// The receiving step of a window's message handler: `owner` is the window's dispatcher, null
// once the window is gone; `page_uri` and `is_main_frame` describe the sender. Refuses what the
// app's page can't have sent, otherwise dispatches, and hands the encoded reply to `platform`.
void receive(HostDispatcher* owner, const json::value& body, std::string_view page_uri,
             bool is_main_frame, std::function<void(PlatformReply)> platform);

}  // namespace qs::bridge
