#include "claude/claude_bridge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>

#include "core/file_io.h"
#include "core/host_log.h"
#include "core/ids.h"
#include "core/text.h"
#include "platform/prefs.h"

namespace qs::claude {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSettingKey = "claudeOnMac";

constexpr std::string_view kOff = "Claude on this computer is off. Turn it on in the AI menu.";
constexpr std::string_view kNotWritten = "The request couldn't be written for Claude: ";

std::pair<bool, std::optional<std::string>> failure(std::string message) {
  return {false, std::move(message)};
}

// The words for a folder of the exchange that couldn't be made or opened.
std::string unwritable(const OpenedFolder& folder) {
  if (folder.error == ELOOP) {
    return std::string(kNotWritten) + folder.where + " in the writing folder is a symbolic link";
  }
  return std::string(kNotWritten) +
         (folder.where.empty() ? std::string("the writing folder") : folder.where) + ": " +
         std::strerror(folder.error);
}

}  // namespace

std::optional<std::size_t> replyTargetIndex(const std::vector<std::optional<std::string>>& showing,
                                            std::optional<std::size_t> key,
                                            const std::optional<std::string>& docID) {
  if (docID) {
    for (std::size_t i = 0; i < showing.size(); ++i) {
      if (showing[i] == docID) return i;
    }
  }
  if (key && *key < showing.size()) return key;
  if (!showing.empty()) return 0;
  return std::nullopt;
}

ClaudeBridge::ClaudeBridge(std::function<fs::path()> root, fs::path support, Prefs& prefs,
                           HostLog* log, ReplyTargets& targets)
    : prefs_(prefs),
      log_(log),
      targets_(targets),
      exchange_(std::move(root)),
      own_(std::move(support), [this] { return earlierRequests(); }) {}

ClaudeBridge::~ClaudeBridge() = default;

void ClaudeBridge::assertMainThread() const {
  assert(std::this_thread::get_id() == main_thread_);
}

bool ClaudeBridge::enabled() const {
  const auto value = prefs_.get(kSettingKey);
  return value && value->is_bool() && value->get_bool();
}

void ClaudeBridge::setEnabled(bool on) {
  // A setting that can't be written still holds for this run; nothing more can be done here.
  (void)prefs_.set(kSettingKey, on);
  if (on) own_.start();
}

fs::path ClaudeBridge::outboxFolder() const {
  return exchange_.path(Folder::kOutbox);
}

fs::path ClaudeBridge::inboxFolder() const {
  return exchange_.path(Folder::kInbox);
}

bool ClaudeBridge::isInboxPath(std::string_view changedPath) {
  // A folder above the inbox that was made, replaced or moved in whole may bring replies.
  if (changedPath.ends_with("/.quillstone") || changedPath.ends_with("/.quillstone/claude")) {
    return true;
  }
  constexpr std::string_view kInbox = "/.quillstone/claude/inbox";
  const std::size_t at = changedPath.find(kInbox);
  if (at == std::string_view::npos) return false;
  const std::string_view below = changedPath.substr(at + kInbox.size());
  if (!below.empty() && below[0] != '/') return false;
  return below != "/ignored" && !below.starts_with("/ignored/");
}

bool ClaudeBridge::isWorking(std::string_view id) const {
  return working_.find(id) != working_.end();
}

void ClaudeBridge::note(std::string_view event, const json::object& fields) const {
  if (log_) log_->append(event, fields);
}

std::pair<bool, std::optional<std::string>> ClaudeBridge::ask(const json::object& request) {
  assertMainThread();
  if (!enabled()) return failure(std::string(kOff));
  auto built = requestFile(request, replyFolder(), wholeSecondsNow());
  if (auto* refusal = std::get_if<std::string>(&built)) return failure(std::move(*refusal));
  const RequestFile& file = std::get<RequestFile>(built);
  if (inboxFolder().empty()) return failure(std::string(kNotWritten) + std::strerror(ENOENT));

  const OpenedFolder outboxDir = exchange_.open(Folder::kOutbox, Missing::kCreate);
  if (!outboxDir.fd.valid()) return failure(unwritable(outboxDir));
  const OpenedFolder inboxDir = exchange_.open(Folder::kInbox, Missing::kCreate);
  if (!inboxDir.fd.valid()) return failure(unwritable(inboxDir));
  const auto bytes = json::pretty(file.body);
  if (!bytes) return failure(std::string(kNotWritten) + "its text couldn't be written as JSON");
  int error = 0;
  // Recorded first: a request written but not recorded would have its reply left alone.
  if (!own_.add(file.id, exchange_.waiting(), &error) ||
      !file_io::writeAtomicallyAt(outboxDir.fd.get(), file.id + ".json", *bytes,
                                  file_io::Durability::kSurvivesCrash, &error)) {
    return failure(std::string(kNotWritten) + std::strerror(error));
  }

  note("claude-ask", json::object{{"req", file.id},
                                  {"doc", file.doc},
                                  {"thought", file.thought},
                                  {"thread", file.thread},
                                  {"paragraphs", file.paragraphs}});
  return {true, std::nullopt};
}

bool ClaudeBridge::cancel(std::string_view requestId) {
  assertMainThread();
  if (!enabled() || !ids::isRequestID(requestId)) return false;
  const OpenedFolder outbox = exchange_.open(Folder::kOutbox, Missing::kFail);
  if (outbox.fd.valid() && own_.contains(requestId)) {
    const std::string name = std::string(requestId) + ".json";
    ::unlinkat(outbox.fd.get(), name.c_str(), 0);  // already gone is fine
  }
  note("claude-cancel", json::object{{"req", requestId}});
  return true;
}

void ClaudeBridge::processInbox() {
  assertMainThread();
  if (!enabled()) return;
  const auto names = exchange_.replies();
  if (!names) return;  // not made yet, or not safe to read
  const fs::path folder = inboxFolder();
  for (const auto& name : *names) take(folder / name);
}

std::optional<std::string> ClaudeBridge::requestDoc(const fs::path& request) const {
  return requestDocOf(readUntrustedAt(AT_FDCWD, request.string(), kMaxRequestBytes));
}

void ClaudeBridge::take(const fs::path& reply) {
  assertMainThread();
  const fs::path fileName = reply.filename();
  const std::string name = fileName.string();
  if (inboxFolder().empty() || !isPlainName(name) || fileName.extension() != ".json") return;
  const std::string id = fileName.stem().string();
  // Another computer's, where the writing folder syncs between computers: left for that one.
  if (ids::isRequestID(id) && !own_.contains(id)) return;

  if (auto w = working_.find(id); w != working_.end()) {
    if (!w->second.target.expired()) return;
    // Its window went without answering: the reply is free to be taken again.
    working_.erase(w);
  }

  const OpenedFolder inbox = exchange_.open(Folder::kInbox, Missing::kFail);
  if (!inbox.fd.valid()) return;
  // Anything that isn't a plain file (a folder, a link, a FIFO) goes through the checks below
  // and is refused and moved aside.
  if (exchange_.look(inbox.fd.get(), name) != Exchange::Entry::kNew) return;

  const fs::path file = inboxFolder() / name;
  if (!ids::isRequestID(id)) return ignore(file, kNotARequestId);
  const OpenedFolder outbox = exchange_.open(Folder::kOutbox, Missing::kFail);
  if (outbox.error == ELOOP) return;  // the request can't be looked at safely; said already
  struct stat requestStat {};
  if (!outbox.fd.valid() ||
      ::fstatat(outbox.fd.get(), name.c_str(), &requestStat, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(requestStat.st_mode)) {
    return ignore(file, kNoRequestWaiting);
  }

  const auto doc = requestDocOf(readUntrustedAt(outbox.fd.get(), name, kMaxRequestBytes));
  auto checked = checkReply(id, readUntrustedAt(inbox.fd.get(), name, kMaxReplyBytes), doc);
  if (auto* refusal = std::get_if<std::string>(&checked)) return ignore(file, *refusal);
  hand(id, std::move(std::get<Reply>(checked)), doc);
}

fs::path ClaudeBridge::replyFolder() const {
  const fs::path inbox = inboxFolder();
  std::error_code ec;
  const fs::path absolute = fs::absolute(inbox, ec);
  return ec ? inbox : absolute;
}

std::vector<std::string> ClaudeBridge::earlierRequests() {
  // A request file names the inbox of the computer that wrote it. (Two computers that keep the
  // writing folder at the same path both count such a request as theirs, as before.)
  std::vector<std::string> ours;
  const OpenedFolder outbox = exchange_.open(Folder::kOutbox, Missing::kFail);
  if (!outbox.fd.valid()) return ours;
  const fs::path inbox = replyFolder();
  for (auto& id : exchange_.requests()) {
    const auto body = readObject(readUntrustedAt(outbox.fd.get(), id + ".json", kMaxRequestBytes));
    const auto replyTo = body ? json::findString(*body, "replyTo") : std::nullopt;
    if (replyTo == replyToOf(inbox, id)) ours.push_back(std::move(id));
  }
  return ours;
}

void ClaudeBridge::hand(const std::string& id, Reply reply, const std::optional<std::string>& doc) {
  std::shared_ptr<ReplyTarget> target = targets_.targetFor(doc);
  if (!target) return;  // no window at all: the reply waits for one, untouched

  if (!target->loaded()) {
    note("claude-reply-waits", json::object{{"req", id}});
    return;
  }

  Handed handed{id, ++next_ticket_, doc.value_or("?")};
  handed.bullets = reply.bullets.size();
  handed.placements = reply.placements;
  handed.empty = reply.empty;
  working_[id] = Working{handed.ticket, target};
  target->claudeReply(
      id, std::move(reply.bullets), std::move(reply.from), std::move(reply.options),
      [this, alive = std::weak_ptr<int>(alive_), handed](std::optional<bool> answer) {
        if (!alive.expired()) answered(handed, answer);
      });
}

void ClaudeBridge::answered(const Handed& handed, std::optional<bool> answer) {
  assertMainThread();
  // Only the answer to the current call counts: a second answer, or a late one from a window
  // that was given up on, finds another ticket or none.
  auto w = working_.find(handed.id);
  if (w == working_.end() || w->second.ticket != handed.ticket) return;
  working_.erase(w);

  if (!answer) {
    note("claude-reply-waits", json::object{{"req", handed.id}});
    return;
  }
  // The writing folder may have moved while the page was busy: the files are where it is now.
  const std::string name = handed.id + ".json";
  const OpenedFolder inbox = exchange_.open(Folder::kInbox, Missing::kFail);
  const OpenedFolder outbox = exchange_.open(Folder::kOutbox, Missing::kFail);
  if (!*answer) {
    ignore(inboxFolder() / name, kPageRefused);
  } else {
    note("claude-reply", json::object{{"req", handed.id},
                                      {"doc", handed.doc},
                                      {"bullets", handed.bullets},
                                      {"placements", handed.placements},
                                      {"empty", handed.empty}});
    if (inbox.fd.valid()) ::unlinkat(inbox.fd.get(), name.c_str(), 0);
  }
  if (outbox.fd.valid()) ::unlinkat(outbox.fd.get(), name.c_str(), 0);
}

void ClaudeBridge::ignore(const fs::path& reply, std::string_view reason) {
  assertMainThread();
  const std::string name = reply.filename().string();
  if (!isPlainName(name)) return;
  note("claude-ignored", json::object{{"req", printableName(fs::path(name).stem().string())},
                                      {"why", text::replaceAll(reason, " ", "_")}});
  exchange_.setAside(name, std::string(reason));
}

}  // namespace qs::claude
