// Claude on this computer: the file exchange with a Claude Code session that runs on this machine.
//
// Questions from the page are written as request files into ".quillstone/claude/outbox/" below
// the writing folder; the session answers with reply files in ".quillstone/claude/inbox/",
// which are checked strictly and handed to a window's page. Refused replies go to
// "inbox/ignored/" with a line in its "log.txt" saying why, so the session can correct itself.
//
// Reply files come from another program and are untrusted: they are read with a size and
// nesting limit, never through a symbolic link, and only ever renamed within the inbox. The
// folders themselves are opened one name at a time below the writing folder: a link among them
// is never read, written or deleted through, and is said once on standard error. A reply that
// can't be moved aside is refused once for each version of the file, not at every pass.
//
// The writing folder may be kept in a sync tool between computers that each run the program,
// and the exchange syncs with it. Each computer keeps the ids of the requests it wrote in its
// support folder (own_requests.h) and takes only the replies to those: a reply to another's
// request is left as it is for the computer that asked, and another's request is never
// withdrawn. Requests written before the record was kept count as ours when their "replyTo" is
// our inbox.
//
// Main thread only: page messages, the folder watcher's hook and the page's answers all arrive
// there, so `working` needs no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "claude/exchange.h"
#include "claude/own_requests.h"
#include "claude/reply_check.h"
#include "claude/request_file.h"
#include "core/json.h"

namespace qs {
class HostLog;
class Prefs;
}  // namespace qs

namespace qs::claude {

// A window whose page can take a reply.
class ReplyTarget {
 public:
  virtual ~ReplyTarget() = default;
  // Whether the page has reported that it loaded.
  virtual bool loaded() const = 0;
  // Calls the page's `claudeReply`. `then` runs on the main thread, once: true (taken), false
  // (no thought or document knows the request) or none (no answer; the reply waits).
  virtual void claudeReply(std::string id, json::array bullets, std::string from,
                           json::object options, std::function<void(std::optional<bool>)> then) = 0;
};

// The window side: which window a reply for a document goes to.
class ReplyTargets {
 public:
  virtual ~ReplyTargets() = default;
  // The first window showing `docID`, else the key window, else the first window; null when
  // no window is open.
  virtual std::shared_ptr<ReplyTarget> targetFor(const std::optional<std::string>& docID) = 0;
};

// That rule over the registry's windows: `showing` holds each window's document id in registry
// order, `key` the key window's position. A request without a document matches no window by
// its document (a window showing nothing is not showing it).
std::optional<std::size_t> replyTargetIndex(const std::vector<std::optional<std::string>>& showing,
                                            std::optional<std::size_t> key,
                                            const std::optional<std::string>& docID);

class ClaudeBridge {
 public:
  // `root` gives the writing folder at the time of each call (it moves with the library); an
  // empty path means there is none. `support` is this computer's support folder. `log` may be
  // null. `prefs` and `targets` must outlive the bridge.
  ClaudeBridge(std::function<std::filesystem::path()> root, std::filesystem::path support,
               Prefs& prefs, HostLog* log, ReplyTargets& targets);
  ~ClaudeBridge();
  ClaudeBridge(const ClaudeBridge&) = delete;
  ClaudeBridge& operator=(const ClaudeBridge&) = delete;

  // The confirmation shown before the feature is turned on ("Turn On" first, then "Cancel").
  static constexpr std::string_view confirmationMessage() {
    return "Turn on Claude on This Computer?";
  }
  static constexpr std::string_view confirmationDetail() {
    return "When you ask Claude about a thought, Quillstone writes the request (the thread, and up "
           "to 200 paragraphs of that document) to a folder inside your writing folder, where a "
           "Claude Code session on this computer can read it and answer. Nothing leaves this "
           "computer from Quillstone. Turn it off here whenever you like.";
  }
  static constexpr std::string_view confirmationButton() { return "Turn On"; }

  // The setting "claudeOnMac", read afresh: on only when it is the boolean true. Turning it on
  // starts the record of this computer's requests if there is none: what is in the outbox then
  // was written by another computer, or before, and isn't ours.
  bool enabled() const;
  void setEnabled(bool on);

  // Writes the page's request as a request file. (true, none) on success, else (false, the
  // sentence for the page). Nothing is written unless the request passes every check.
  std::pair<bool, std::optional<std::string>> ask(const json::object& request);
  // Withdraws a request: deletes its request file, when this computer wrote it. False when the
  // feature is off or the id isn't a request id.
  bool cancel(std::string_view requestId);

  // One pass over the inbox: every "*.json" entry in name order goes through `take`.
  void processInbox();
  // Checks one reply file and hands it to a page, or refuses it; a reply to another computer's
  // request is left alone. Only the last component of `reply` is used: the file is always looked
  // for in the inbox.
  void take(const std::filesystem::path& reply);
  // Refuses a reply: moves it into "ignored/" and records `reason` there and in the host log.
  void ignore(const std::filesystem::path& reply, std::string_view reason);
  // The document id of a request file, or none.
  std::optional<std::string> requestDoc(const std::filesystem::path& request) const;

  // Whether a changed path reported by the folder watcher concerns the inbox, or a folder above
  // it inside ".quillstone": "ignored/" and what is in it don't, so the bridge's own refusals
  // start no pass.
  static bool isInboxPath(std::string_view changedPath);

  // Folders below the current writing folder; empty paths when there is none.
  std::filesystem::path outboxFolder() const;
  std::filesystem::path inboxFolder() const;

  // Whether a reply is on its way to a page (its id is in `working`).
  bool isWorking(std::string_view id) const;

 private:
  // A reply handed to a page: the call's ticket, so a late answer to an earlier call is not
  // taken for the current one, and the window, held weakly so that a window gone without
  // answering doesn't hold the reply forever.
  struct Working {
    std::uint64_t ticket = 0;
    std::weak_ptr<ReplyTarget> target;
  };
  struct Handed {
    std::string id;
    std::uint64_t ticket = 0;
    std::string doc;
    std::size_t bullets = 0;
    std::size_t placements = 0;
    bool empty = false;
  };
  using Folder = Exchange::Folder;

  // The absolute inbox that "replyTo" names.
  std::filesystem::path replyFolder() const;
  // The requests in the outbox that were written here before the record was kept.
  std::vector<std::string> earlierRequests();
  // The reply `id` that passed its checks, to the page of its window.
  void hand(const std::string& id, Reply reply, const std::optional<std::string>& doc);
  void answered(const Handed& handed, std::optional<bool> answer);
  void note(std::string_view event, const json::object& fields) const;
  void assertMainThread() const;

  Prefs& prefs_;
  HostLog* log_;
  ReplyTargets& targets_;
  std::map<std::string, Working, std::less<>> working_;
  Exchange exchange_;
  OwnRequests own_;
  std::uint64_t next_ticket_ = 0;
  // Page answers that arrive after the bridge is gone find this expired and do nothing.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  [[maybe_unused]] const std::thread::id main_thread_ = std::this_thread::get_id();
};

}  // namespace qs::claude
