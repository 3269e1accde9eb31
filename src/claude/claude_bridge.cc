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

// The request file and ignored log time: UTC, whole seconds, as in 2025-03-01T09:30:00Z.
std::string iso8601_seconds_now() {
  std::string t = clock::iso8601_utc_now();  // 2025-03-01T09:30:00.123Z
  return t.substr(0, 19) + "Z";
}

std::optional<json::object> parse_object(const std::optional<std::string>& text) {
  if (!text || !text::is_valid_utf8(*text)) return std::nullopt;
  std::string_view body = *text;
  // Some editors start UTF-8 with a byte order mark; JSON has no place for it.
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  auto v = json::parse(body, ClaudeBridge::kMaxReplyDepth);
  if (!v || !v->is_object()) return std::nullopt;
  return std::move(v->get_object());
}

// A single name that can stand for a file in a folder.
bool is_plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// C1 controls, and the characters that break a line or turn the text around where they stand
// (bidirectional marks, embeddings, overrides and isolates) though nothing shows them.
bool is_hidden_control(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
         code == 0x2028 || code == 0x2029 || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

// A file name as it may appear on one log line: control characters, bidirectional controls,
// backslashes and bytes that aren't UTF-8 are escaped, so a hostile name can't break a line,
// disguise itself or spoil the log's encoding.
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
      char32_t code = c & (0x7F >> length);
      for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (s[i + k] & 0x3F);
      if (is_hidden_control(code)) {
        hex(static_cast<unsigned>(code), "\\u%04X");
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

// The document id of a request file's text: its `doc` object's `id`.
std::optional<std::string> docOf(const std::optional<std::string>& requestText) {
  const auto object = parse_object(requestText);
  if (!object) return std::nullopt;
  const json::object* doc = json::find_object(*object, "doc");
  if (!doc) return std::nullopt;
  if (auto id = json::find_string(*doc, "id")) return std::string(*id);
  return std::nullopt;
}

// Appends the refusal's line to "log.txt" in the open folder `ignored`, never through a link;
// a log that isn't there yet is written whole. False when the line couldn't be written.
bool appendToLog(int ignored, const std::string& name, std::string_view reason) {
  const std::string line =
      iso8601_seconds_now() + "  " + printable_name(name) + "  " + std::string(reason) + "\n";
  int error = 0;
  if (file_io::append_at(ignored, "log.txt", line, &error)) return true;
  // A log that isn't there, or is a link or something else than a file that another program put
  // there, is written anew; one that can't be written now keeps what it has (the host log still
  // has the line).
  if (error != ENOENT && error != ELOOP && error != EINVAL && error != EISDIR) return false;
  return file_io::write_atomically_at(ignored, "log.txt", line, file_io::Durability::kFileOnly);
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

OpenedFolder ClaudeBridge::open(Folder folder, Missing missing) {
  const fs::path root = root_ ? root_() : fs::path();
  if (root.empty()) return OpenedFolder{UniqueFd(), ENOENT, {}};
  const std::string_view below = folder == Folder::kOutbox  ? ".quillstone/claude/outbox"
                                 : folder == Folder::kInbox ? ".quillstone/claude/inbox"
                                                            : ".quillstone/claude/inbox/ignored";
  OpenedFolder opened = openBelow(root, below, missing);
  if (opened.error == ELOOP) {
    if (linksSaid_.insert(opened.where).second) {
      std::fprintf(stderr,
                   "Quillstone: %s is a symbolic link; the assistant's files are never read or "
                   "written through it\n",
                   (root / opened.where).c_str());
    }
  } else if (opened.fd.valid()) {
    // Put right since: should the link come back, it is said again.
    std::erase_if(linksSaid_, [&](const std::string& where) {
      return below == where || below.starts_with(where + '/');
    });
  }
  return opened;
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

  auto unwritable = [&](const OpenedFolder& folder) {
    if (folder.error == ELOOP) {
      return fail(std::string(kNotWritten) + folder.where +
                  " in the writing folder is a symbolic link");
    }
    return fail(std::string(kNotWritten) +
                (folder.where.empty() ? std::string("the writing folder") : folder.where) + ": " +
                std::strerror(folder.error));
  };
  const OpenedFolder outboxDir = open(Folder::kOutbox, Missing::kCreate);
  if (!outboxDir.fd.valid()) return unwritable(outboxDir);
  const OpenedFolder inboxDir = open(Folder::kInbox, Missing::kCreate);
  if (!inboxDir.fd.valid()) return unwritable(inboxDir);
  const auto bytes = json::pretty(out);
  if (!bytes) return fail(std::string(kNotWritten) + "its text couldn't be written as JSON");
  int error = 0;
  if (!file_io::write_atomically_at(outboxDir.fd.get(), fileName, *bytes,
                                    file_io::Durability::kSurvivesCrash, &error)) {
    return fail(std::string(kNotWritten) + std::strerror(error));
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
  const OpenedFolder outbox = open(Folder::kOutbox, Missing::kFail);
  if (outbox.fd.valid()) {
    const std::string name = std::string(requestId) + ".json";
    ::unlinkat(outbox.fd.get(), name.c_str(), 0);  // already gone is fine
  }
  note("claude-cancel", json::object{{"req", requestId}});
  return true;
}

void ClaudeBridge::processInbox() {
  assertMainThread();
  if (!enabled()) return;
  OpenedFolder inbox = open(Folder::kInbox, Missing::kFail);
  if (!inbox.fd.valid()) return;  // not made yet, or not safe to read
  std::vector<std::string> names;
  const int listed = inbox.fd.release();
  if (DIR* dir = ::fdopendir(listed)) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (fs::path(name).extension() == ".json") names.push_back(name);
    }
    ::closedir(dir);
  } else {
    ::close(listed);
  }
  std::sort(names.begin(), names.end());
  std::erase_if(stuck_, [&](const auto& entry) {
    return !std::binary_search(names.begin(), names.end(), entry.first);
  });
  const fs::path folder = inboxFolder();
  for (const auto& name : names) take(folder / name);
}

std::optional<std::string> ClaudeBridge::requestDoc(const fs::path& request) const {
  return docOf(readUntrustedAt(AT_FDCWD, request.string(), kMaxRequestBytes));
}

std::optional<std::string> ClaudeBridge::requestDocIn(int outbox, const std::string& name) const {
  return docOf(readUntrustedAt(outbox, name, kMaxRequestBytes));
}

std::optional<ClaudeBridge::Version> ClaudeBridge::versionAt(int folder, const std::string& name) {
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return Version{st.st_size, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec, st.st_ino};
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

  const OpenedFolder inboxDir = open(Folder::kInbox, Missing::kFail);
  if (!inboxDir.fd.valid()) return;
  // Anything that isn't a plain file (a folder, a link, a FIFO) goes through the checks below
  // and is refused and moved aside.
  const std::optional<Version> present = versionAt(inboxDir.fd.get(), name);
  if (!present) return;
  // Refused before and still here, unchanged: it couldn't be moved aside. It is tried again
  // quietly, since saying so at every pass would only fill the logs (and a line added to
  // "ignored/log.txt" would start the next pass).
  if (auto stuck = stuck_.find(name); stuck != stuck_.end() && stuck->second.version == *present) {
    const Stuck again = stuck->second;
    return setAside(name, again.reason, again.logged);
  }

  const fs::path file = inbox / name;
  auto refuse = [&](std::string_view reason) { ignore(file, reason); };
  if (!ids::is_request_id(id)) return refuse(kNotARequestId);
  const OpenedFolder outbox = open(Folder::kOutbox, Missing::kFail);
  if (outbox.error == ELOOP) return;  // the request can't be looked at safely; said already
  struct stat requestStat {};
  if (!outbox.fd.valid() ||
      ::fstatat(outbox.fd.get(), name.c_str(), &requestStat, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(requestStat.st_mode)) {
    return refuse(kNoRequestWaiting);
  }

  const auto parsed = parse_object(readUntrustedAt(inboxDir.fd.get(), name, kMaxReplyBytes));
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
    const auto requestDocId = requestDocIn(outbox.fd.get(), name);
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

  const auto docId = requestDocIn(outbox.fd.get(), name);
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
  const OpenedFolder inbox = open(Folder::kInbox, Missing::kFail);
  const OpenedFolder outbox = open(Folder::kOutbox, Missing::kFail);
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
  if (!is_plain_name(name)) return;
  note("claude-ignored", json::object{{"req", printable_name(fs::path(name).stem().string())},
                                      {"why", text::replace_all(reason, " ", "_")}});
  setAside(name, std::string(reason), false);
}

void ClaudeBridge::setAside(const std::string& name, const std::string& reason, bool logged) {
  // Every step works relative to folders opened without following a link, so a reply, or an
  // "ignored" that is a link, can't make us move or write anything outside the inbox.
  const OpenedFolder inbox = open(Folder::kInbox, Missing::kFail);
  if (!inbox.fd.valid()) return;
  const OpenedFolder ignored = open(Folder::kIgnored, Missing::kCreate);
  if (ignored.fd.valid()) {
    // Only an empty folder is removed to make room.
    if (::unlinkat(ignored.fd.get(), name.c_str(), 0) != 0 && errno == EISDIR) {
      ::unlinkat(ignored.fd.get(), name.c_str(), AT_REMOVEDIR);
    }
    (void)file_io::rename_at(inbox.fd.get(), name, ignored.fd.get(), name);
    if (!logged) logged = appendToLog(ignored.fd.get(), name, reason);
  }
  if (auto still = versionAt(inbox.fd.get(), name)) {
    stuck_[name] = Stuck{*still, reason, logged};
  } else {
    stuck_.erase(name);
  }
}

}  // namespace qs::claude
