// Everything the native side says to the editor page: the scripts installed before the page
// runs, page commands and control presses, the settle handshake, Claude replies, and the queue
// that delivers records written elsewhere once the page is ready for them.
//
// Threads: jsString and userScripts are pure and may run anywhere. PageCalls is main-thread
// only.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/page_scripting.h"
#include "core/event_loop.h"
#include "core/json.h"

namespace qs::bridge {

// The page's entry points are optional: a page that lacks one turns the call into a no-op.
inline constexpr std::string_view kRunBody =
    "return window.QuillstoneApp?.run?.(c, JSON.parse(aJSON)) ?? false";
inline constexpr std::string_view kPressBody = "return window.QuillstoneMac?.press(l)";
inline constexpr std::string_view kKeyBody = "return window.QuillstoneMac?.key(JSON.parse(aJSON))";
inline constexpr std::string_view kSettleBody = "return await window.QuillstoneMac?.settle()";
inline constexpr std::string_view kDeliverBody =
    "const f = window.QuillstoneApp?.applyExternal; if (typeof f !== 'function') return 'wait'; "
    "f(JSON.parse(recordsJSON)); return 'ok';";
inline constexpr std::string_view kClaudeReplyBody =
    "const f = window.QuillstoneApp?.claudeReply; if (typeof f !== 'function') return null; "
    "const bullets = JSON.parse(bulletsJSON), options = JSON.parse(optionsJSON); "
    "const r = await (Object.keys(options).length ? f(id, bullets, from, options) : "
    "f(id, bullets, from)); return r === true ? true : r === false ? false : null;";

// `s` as a double-quoted script literal: its compact JSON string. Text that isn't valid UTF-8
// has its bad sequences replaced by U+FFFD first, so the literal is always valid.
std::string jsString(std::string_view s);

// The user scripts a window installs, in order, at document start in the main frame only:
// the globals and bridge script, the distribution, the sign-in wrapper and, when `claudeOn`,
// the Claude wrapper.
std::vector<std::string> userScripts(const std::optional<std::string>& docID,
                                     std::string_view folderDisplayName,
                                     std::string_view bridgeScript, bool claudeOn);

// A synthetic key press for the page.
struct KeyDescriptor {
  std::string key;
  std::string code;
  bool shift = false;
  bool alt = false;
  bool ctrl = false;
  bool meta = false;
};

// One window's calls into its page. `page` and `main` must outlive it.
//
// Destroying it ends everything in flight: late completions and timers find it gone and do
// nothing, and `run`/`press` callbacks are dropped with it. Two answers are owed to others and
// still given, on `main`, as a missing page would give them: a pending settle's `done` (a quit
// waits for it) and a pending Claude reply's `then` with no answer (the reply then waits for
// another page).
class PageCalls {
 public:
  using Then = std::function<void(bool)>;
  using ClaudeThen = std::function<void(std::optional<bool>)>;

  static constexpr std::chrono::milliseconds kPressInterval{80};
  static constexpr std::chrono::milliseconds kDeliveryRetry{250};
  static constexpr std::chrono::milliseconds kSettleLimit{3000};

  PageCalls(PageScripting& page, EventLoop& main);
  ~PageCalls();
  PageCalls(const PageCalls&) = delete;
  PageCalls& operator=(const PageCalls&) = delete;

  // Runs page command `command` with `arg`. `then` gets true only when the page answered true.
  void run(std::string command, const json::value& arg = nullptr, Then then = {});
  // Presses the page control labelled `label`. `then` as for `run`.
  void press(std::string label, Then then = {});
  // Presses each label in turn, 0.08 s after the previous press answered true; stops at the
  // first that doesn't.
  void pressPath(std::vector<std::string> labels);
  void key(const KeyDescriptor& descriptor);

  // Lets the page hand over pending edits. `done` runs exactly once: when the page's settle
  // finishes, or 3.0 s after the call, whichever is first; at once when the page isn't loaded.
  void settle(std::function<void()> done);

  // Hands a Claude reply to the page. `then` gets true (taken), false (nobody knows the
  // request) or none (no answer: not ready, a failed call, or the window closed).
  void claudeReply(std::string id, const json::value& bullets, std::string from,
                   const json::object& options, ClaudeThen then);

  // The page reported "loaded" (true) or a reload began (false). Becoming loaded starts
  // delivery of whatever is queued.
  void setLoaded(bool loaded);
  bool loaded() const { return loaded_; }

  // Queues records written elsewhere and delivers them when the page is ready.
  void enqueue(json::array batch);
  // Delivers the oldest queued batch when the page is loaded and no delivery is outstanding.
  void deliverExternal();
  std::size_t queuedBatches() const { return queue_.size(); }

 private:
  // An answer someone else waits for; see the class comment.
  struct Owed {
    std::function<void()> ifGone;
    std::optional<EventLoop::TimerId> limit;
  };

  void pressFrom(std::shared_ptr<const std::vector<std::string>> labels, std::size_t index);
  void deliveryFinished(const std::optional<json::value>& result, bool failed);
  std::uint64_t owe(std::function<void()> ifGone);
  // Takes an owed answer off the books and hands back its fallback; empty when it was given.
  std::function<void()> discharge(std::uint64_t id);
  std::weak_ptr<const bool> token() const { return alive_; }
  void assertMainThread() const;

  PageScripting& page_;
  EventLoop& main_;
  bool loaded_ = false;
  bool delivering_ = false;
  std::deque<json::array> queue_;
  std::optional<EventLoop::TimerId> retry_;
  std::map<std::uint64_t, Owed> owed_;
  std::uint64_t next_owed_ = 1;
  // Completions and timers hold this weakly: expired means the window is gone.
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
  [[maybe_unused]] const std::thread::id main_thread_ = std::this_thread::get_id();
};

}  // namespace qs::bridge
