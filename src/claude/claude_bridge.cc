#include "claude/claude_bridge.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/prefs.h"
#include "bridge/host_log.h"
#include "core/clock.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/text.h"

namespace qs::claude {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSettingKey = "claudeOnMac";

constexpr std::string_view kOff = "Claude on this computer is off. Turn it on in the AI menu.";
constexpr std::string_view kNoUsableId = "The request had no usable id.";
constexpr std::string_view kMissingParts =
    "The request was missing its document, thought or thread.";
constexpr std::string_view kNotWritten = "The request couldn't be written for Claude: ";

constexpr std::string_view kNotARequestId = "its name isn't a request id";
constexpr std::string_view kNoRequestWaiting =
    "no request is waiting for it (never sent, cancelled, or already answered)";
constexpr std::string_view kNotJSON = "it isn't JSON";
constexpr std::string_view kNotVersion1 = "it isn't version 1";
constexpr std::string_view kRequestIdMismatch = "its requestId doesn't match its name";
constexpr std::string_view kPlacementsNotAList = "placements isn't a list";
constexpr std::string_view kNoParagraphId = "a placement has no paragraphId";
constexpr std::string_view kPlacementNamesAnotherDocument = "a placement names another document";
constexpr std::string_view kNoBullets = "it has no bullets (send \"empty\": true for no answer)";
constexpr std::string_view kPageRefused =
    "the page didn't take it (no thought or document knows this request)";

// The reasons that carry a limit are built from it, so the text can't drift from the check.
std::string more_than_placements() {
  return "more than " + std::to_string(ClaudeBridge::kMaxPlacements) + " placements";
}
std::string placement_bullet_count() {
  return "a placement needs 1 to " + std::to_string(ClaudeBridge::kMaxPlacementBullets) +
         " bullets";
}
std::string placement_bullet_too_long() {
  return "a placement's bullet is longer than " +
         std::to_string(ClaudeBridge::kMaxBulletCharacters) + " characters";
}
std::string more_than_bullets() {
  return "more than " + std::to_string(ClaudeBridge::kMaxBullets) + " bullets";
}
std::string bullet_too_long() {
  return "a bullet is longer than " + std::to_string(ClaudeBridge::kMaxBulletCharacters) +
         " characters";
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The request file and ignored log time: UTC, whole seconds, as in 2025-03-01T09:30:00Z.
std::string iso8601_seconds_now() {
  std::string t = clock::iso8601_utc_now();  // 2025-03-01T09:30:00.123Z
  return t.substr(0, 19) + "Z";
}

// Reads a file that another program may have put there: never through a symbolic link, never
// blocking on a FIFO, only a regular file and only up to `limit` bytes.
std::optional<std::string> read_untrusted(const fs::path& path, std::size_t limit) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > limit) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > limit) return std::nullopt;  // it grew while being read
  }
  return out;
}

std::optional<json::object> parse_object(const std::optional<std::string>& text) {
  if (!text || !text::is_valid_utf8(*text)) return std::nullopt;
  auto v = json::parse(*text, ClaudeBridge::kMaxReplyDepth);
  if (!v || !v->is_object()) return std::nullopt;
  return std::move(v->get_object());
}

// A regular file, the link itself never followed.
bool is_plain_file(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A single name that can stand for a file in a folder.
bool is_plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A file name as it may appear on one log line: control characters, backslashes and bytes that
// aren't UTF-8 are escaped, so a hostile name can't break a line or the log's encoding.
std::string printable_name(std::string_view s) {
  std::string out;
  char escape[8];
  auto hex = [&](unsigned value, const char* form) {
    std::snprintf(escape, sizeof escape, form, value);
    out += escape;
  };
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c == '\\') {
        out += "\\\\";
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c < 0x20 || c == 0x7F) {
        hex(c, "\\x%02X");
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const std::size_t length = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length > 0 && i + length <= s.size() && text::is_valid_utf8(s.substr(i, length))) {
      const auto second = static_cast<unsigned char>(s[i + 1]);
      if (c == 0xC2 && second < 0xA0) {
        hex(second, "\\u%04X");  // a C1 control character, U+0080 to U+009F
      } else {
        out.append(s.substr(i, length));
      }
      i += length;
      continue;
    }
    hex(c, "\\x%02X");
    ++i;
  }
  return out;
}

// Whether `s` has at most `limit` characters; short texts need no segmentation.
bool at_most_characters(std::string_view s, std::size_t limit) {
  return s.size() <= limit || text::grapheme_count(s) <= limit;
}

// `v` when it is a list holding only strings.
const json::array* string_list(const json::value* v) {
  const json::array* list = v ? v->if_array() : nullptr;
  if (!list) return nullptr;
  for (const auto& e : *list) {
    if (!e.is_string()) return nullptr;
  }
  return list;
}

// `v` when it is a list holding only objects.
const json::array* object_list(const json::value* v) {
  const json::array* list = v ? v->if_array() : nullptr;
  if (!list) return nullptr;
  for (const auto& e : *list) {
    if (!e.is_object()) return nullptr;
  }
  return list;
}

std::string string_or(const json::object& o, std::string_view key, std::string_view fallback) {
  return std::string(json::find_string(o, key).value_or(fallback));
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

ClaudeBridge::ClaudeBridge(std::function<fs::path()> root, Prefs& prefs, HostLog* log,
                           ReplyTargets& targets)
    : root_(std::move(root)), prefs_(prefs), log_(log), targets_(targets) {}

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
}

fs::path ClaudeBridge::outboxFolder() const {
  const fs::path root = root_ ? root_() : fs::path();
  if (root.empty()) return {};
  return root / ".quillstone" / "claude" / "outbox";
}

fs::path ClaudeBridge::inboxFolder() const {
  const fs::path root = root_ ? root_() : fs::path();
  if (root.empty()) return {};
  return root / ".quillstone" / "claude" / "inbox";
}

bool ClaudeBridge::isInboxPath(std::string_view changedPath) {
  return changedPath.find("/.quillstone/claude/inbox") != std::string_view::npos;
}

bool ClaudeBridge::isWorking(std::string_view id) const {
  return working_.find(id) != working_.end();
}

void ClaudeBridge::note(std::string_view event, const json::object& fields) const {
  if (log_) log_->append(event, fields);
}

std::pair<bool, std::optional<std::string>> ClaudeBridge::ask(const json::object& request) {
  assertMainThread();
  auto fail = [](std::string message) {
    return std::pair<bool, std::optional<std::string>>{false, std::move(message)};
  };
  if (!enabled()) return fail(std::string(kOff));

  const auto requestId = json::find_string(request, "requestId");
  if (!requestId || !ids::is_request_id(*requestId)) return fail(std::string(kNoUsableId));
  const std::string id(*requestId);

  const json::object* doc = json::find_object(request, "doc");
  const json::object* thought = json::find_object(request, "thought");
  const json::array* thread = object_list(json::find(request, "thread"));
  const auto docId = doc ? json::find_string(*doc, "id") : std::nullopt;
  const auto thoughtId = thought ? json::find_string(*thought, "id") : std::nullopt;
  if (!docId || !thoughtId || !thread || thread->empty()) return fail(std::string(kMissingParts));
  const std::string doc_id(*docId), thought_id(*thoughtId);

  const fs::path outbox = outboxFolder();
  const fs::path inbox = inboxFolder();
  if (outbox.empty()) return fail(std::string(kNotWritten) + std::strerror(ENOENT));
  const std::string fileName = id + ".json";

  json::object out;
  out["v"] = 1;
  out["requestId"] = id;
  out["at"] = iso8601_seconds_now();
  out["doc"] = json::object{{"id", doc_id}, {"title", string_or(*doc, "title", "")}};
  out["thought"] = json::object{{"id", thought_id}};
  json::array entries;
  for (const auto& e : *thread) {
    const json::object& entry = e.get_object();
    entries.push_back(json::object{{"id", string_or(entry, "id", "")},
                                   {"who", string_or(entry, "who", "writer")},
                                   {"text", string_or(entry, "text", "")}});
  }
  out["thread"] = std::move(entries);
  std::error_code ec;
  const fs::path absoluteInbox = fs::absolute(inbox, ec);
  out["replyTo"] = ((ec ? inbox : absoluteInbox).lexically_normal() / fileName).string();

  if (auto ghost = json::find_string(request, "ghost"); ghost && !ghost->empty()) {
    out["ghost"] = text::grapheme_prefix(*ghost, kGhostCharacters);
  }
  std::string reads;
  if (auto r = json::find_string(request, "reads");
      r && (*r == "para" || *r == "doc" || *r == "linked")) {
    reads = *r;
    out["reads"] = reads;
  }
  const json::value* pageTruncated = json::find(request, "truncated");
  bool truncated = pageTruncated && pageTruncated->is_bool() && pageTruncated->get_bool();

  std::size_t paragraphsWritten = 0;
  if (const json::array* list = object_list(json::find(request, "paragraphs"));
      list && reads != "para") {
    json::array excerpt;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < list->size(); ++i) {
      const json::object& entry = (*list)[i].get_object();
      const auto paragraphId = json::find_string(entry, "id");
      if (i == kMaxParagraphs || entry.empty() || !paragraphId) {
        truncated = true;
        break;
      }
      const std::string_view text = json::find_string(entry, "text").value_or("");
      bytes += text.size();
      if (bytes > kMaxParagraphBytes) {
        truncated = true;
        break;
      }
      const json::value* index = json::find(entry, "index");
      excerpt.push_back(json::object{
          {"id", *paragraphId}, {"index", index ? *index : json::value(i + 1)}, {"text", text}});
    }
    paragraphsWritten = excerpt.size();
    out["paragraphs"] = std::move(excerpt);
  }

  if (reads == "linked") {
    if (const json::array* list = object_list(json::find(request, "linked"))) {
      json::array linked;
      const std::size_t looked = std::min(list->size(), kMaxLinked);
      for (std::size_t i = 0; i < looked; ++i) {
        const json::object& entry = (*list)[i].get_object();
        if (auto linkedId = json::find_string(entry, "id")) {
          linked.push_back(
              json::object{{"id", *linkedId}, {"title", string_or(entry, "title", "")}});
        }
      }
      out["linked"] = std::move(linked);
    }
  }
  if (truncated) out["truncated"] = true;

  if (const json::object* paragraph = json::find_object(request, "paragraph")) {
    const json::value* index = json::find(*paragraph, "index");
    out["paragraph"] = json::object{{"id", string_or(*paragraph, "id", "")},
                                    {"index", index ? *index : json::value(nullptr)},
                                    {"text", string_or(*paragraph, "text", "")}};
  }

  std::string error;
  if (!file_io::create_folders(outbox, &error) || !file_io::create_folders(inbox, &error)) {
    return fail(std::string(kNotWritten) + error);
  }
  const auto bytes = json::pretty(out);
  if (!bytes) return fail(std::string(kNotWritten) + "its text couldn't be written as JSON");
  if (!file_io::write_atomically(outbox / fileName, *bytes, file_io::Durability::kSurvivesCrash,
                                 &error)) {
    return fail(std::string(kNotWritten) + error);
  }

  note("claude-ask", json::object{{"req", id},
                                  {"doc", doc_id},
                                  {"thought", thought_id},
                                  {"thread", thread->size()},
                                  {"paragraphs", paragraphsWritten}});
  return {true, std::nullopt};
}

bool ClaudeBridge::cancel(std::string_view requestId) {
  assertMainThread();
  if (!enabled() || !ids::is_request_id(requestId)) return false;
  const fs::path outbox = outboxFolder();
  if (!outbox.empty()) {
    const fs::path request = outbox / (std::string(requestId) + ".json");
    ::unlink(request.c_str());  // already gone is fine
  }
  note("claude-cancel", json::object{{"req", requestId}});
  return true;
}

void ClaudeBridge::processInbox() {
  assertMainThread();
  if (!enabled()) return;
  const fs::path inbox = inboxFolder();
  if (inbox.empty()) return;
  std::vector<std::string> names;
  {
    DIR* dir = ::opendir(inbox.c_str());
    if (!dir) return;  // not made yet
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (fs::path(name).extension() == ".json") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const auto& name : names) take(inbox / name);
}

std::optional<std::string> ClaudeBridge::requestDoc(const fs::path& request) const {
  const auto object = parse_object(read_untrusted(request, kMaxRequestBytes));
  if (!object) return std::nullopt;
  const json::object* doc = json::find_object(*object, "doc");
  if (!doc) return std::nullopt;
  if (auto id = json::find_string(*doc, "id")) return std::string(*id);
  return std::nullopt;
}

void ClaudeBridge::take(const fs::path& reply) {
  assertMainThread();
  const fs::path inbox = inboxFolder();
  const fs::path fileName = reply.filename();
  const std::string name = fileName.string();
  if (inbox.empty() || !is_plain_name(name) || fileName.extension() != ".json") return;
  const std::string id = fileName.stem().string();

  if (auto w = working_.find(id); w != working_.end()) {
    if (!w->second.target.expired()) return;
    // Its window went without answering: the reply is free to be taken again.
    working_.erase(w);
  }

  const fs::path file = inbox / name;
  struct stat st {};
  // A folder that happens to be named like a reply is passed over; anything else that isn't a
  // plain file (a link, a FIFO) goes through the checks below and is refused and moved aside.
  if (::lstat(file.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return;

  auto refuse = [&](std::string_view reason) { ignore(file, reason); };
  if (!ids::is_request_id(id)) return refuse(kNotARequestId);
  const fs::path request = outboxFolder() / name;
  if (!is_plain_file(request)) return refuse(kNoRequestWaiting);

  const auto parsed = parse_object(read_untrusted(file, kMaxReplyBytes));
  if (!parsed) return refuse(kNotJSON);
  const json::object& body = *parsed;

  const json::value* version = json::find(body, "v");
  if (!version || json::as_number(*version) != 1.0) return refuse(kNotVersion1);
  if (json::find_string(body, "requestId") != std::optional<std::string_view>(id)) {
    return refuse(kRequestIdMismatch);
  }
  const json::value* emptyMember = json::find(body, "empty");
  const bool empty = emptyMember && emptyMember->is_bool() && emptyMember->get_bool();

  json::array placements;
  if (const json::value* member = json::find(body, "placements")) {
    const json::array* list = object_list(member);
    if (!list) return refuse(kPlacementsNotAList);
    if (list->size() > kMaxPlacements) return refuse(more_than_placements());
    const auto requestDocId = requestDoc(request);
    for (const auto& p : *list) {
      const json::object& placement = p.get_object();
      const auto paragraphId = json::find_string(placement, "paragraphId");
      if (!paragraphId || paragraphId->empty() ||
          !at_most_characters(*paragraphId, kMaxParagraphIdCharacters)) {
        return refuse(kNoParagraphId);
      }
      const json::array* bullets = string_list(json::find(placement, "bullets"));
      if (!bullets || bullets->empty() || bullets->size() > kMaxPlacementBullets) {
        return refuse(placement_bullet_count());
      }
      for (const auto& b : *bullets) {
        if (!at_most_characters(b.get_string(), kMaxBulletCharacters)) {
          return refuse(placement_bullet_too_long());
        }
      }
      if (const json::value* docId = json::find(placement, "docId")) {
        std::optional<std::string> named;
        if (docId->is_string()) named = std::string(docId->get_string());
        if (named != requestDocId) return refuse(kPlacementNamesAnotherDocument);
      }
      placements.push_back(json::object{{"paragraphId", *paragraphId}, {"bullets", *bullets}});
    }
  }

  json::array bullets;
  if (const json::array* list = string_list(json::find(body, "bullets"))) {
    bullets = *list;
  } else if (placements.empty()) {
    return refuse(kNoBullets);  // even with "empty": the session must send an empty list
  }
  if (bullets.empty() && !empty && placements.empty()) return refuse(kNoBullets);
  if (bullets.size() > kMaxBullets) return refuse(more_than_bullets());
  for (const auto& b : bullets) {
    if (!at_most_characters(b.get_string(), kMaxBulletCharacters)) {
      return refuse(bullet_too_long());
    }
  }

  std::string from =
      text::grapheme_prefix(json::find_string(body, "from").value_or("Claude"), kFromCharacters);

  const auto docId = requestDoc(request);
  std::shared_ptr<ReplyTarget> target = targets_.targetFor(docId);
  if (!target) return;  // no window at all: the reply waits for one, untouched

  if (!target->loaded()) {
    note("claude-reply-waits", json::object{{"req", id}});
    return;
  }

  json::object options;
  if (empty) options["empty"] = true;
  if (!placements.empty()) options["placements"] = placements;

  Handed handed{id, ++next_ticket_, docId.value_or("?")};
  handed.bullets = bullets.size();
  handed.placements = placements.size();
  handed.empty = empty;
  working_[id] = Working{handed.ticket, target};
  target->claudeReply(
      id, std::move(bullets), std::move(from), std::move(options),
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
  const fs::path inbox = inboxFolder();
  const fs::path outbox = outboxFolder();
  if (inbox.empty()) return;
  if (!*answer) {
    ignore(inbox / name, kPageRefused);
    ::unlink((outbox / name).c_str());
    return;
  }
  note("claude-reply", json::object{{"req", handed.id},
                                    {"doc", handed.doc},
                                    {"bullets", handed.bullets},
                                    {"placements", handed.placements},
                                    {"empty", handed.empty}});
  ::unlink((inbox / name).c_str());
  ::unlink((outbox / name).c_str());
}

void ClaudeBridge::ignore(const fs::path& reply, std::string_view reason) {
  assertMainThread();
  const fs::path inbox = inboxFolder();
  const std::string name = reply.filename().string();
  if (inbox.empty() || !is_plain_name(name)) return;
  const fs::path ignored = inbox / "ignored";

  // Every step works relative to the inbox and never follows a link inside it, so a reply, or
  // an "ignored" that is a link, can't make us move or write anything outside the inbox.
  (void)file_io::create_folders(ignored);
  Fd inboxFd(::open(inbox.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Fd ignoredFd(inboxFd.valid() ? ::openat(inboxFd.get(), "ignored",
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                               : -1);
  if (ignoredFd.valid()) {
    // unlinkat without AT_REMOVEDIR never removes a folder.
    ::unlinkat(ignoredFd.get(), name.c_str(), 0);
    ::renameat(inboxFd.get(), name.c_str(), ignoredFd.get(), name.c_str());
  }

  note("claude-ignored", json::object{{"req", printable_name(fs::path(name).stem().string())},
                                      {"why", text::replace_all(reason, " ", "_")}});

  if (!ignoredFd.valid()) return;
  const std::string line =
      iso8601_seconds_now() + "  " + printable_name(name) + "  " + std::string(reason) + "\n";
  Fd logFd(::openat(ignoredFd.get(), "log.txt",
                    O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (logFd.valid() && ::fstat(logFd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    std::string_view rest = line;
    while (!rest.empty()) {
      const ssize_t n = ::write(logFd.get(), rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the line is lost; the host log still has it
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return;
  }
  (void)file_io::write_atomically(ignored / "log.txt", line, file_io::Durability::kFileOnly);
}

}  // namespace qs::claude
