// The library's part in keeping what sync tools set aside: version files inside packages, second
// packages holding one document, and text put in place unseen just before a save. See versions.h
// for the rules every computer sharing the folder applies alike.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "core/digest.h"
#include "core/file_io.h"
#include "core/host_log.h"
#include "core/ids.h"
#include "library/images.h"
#include "library/library.h"
#include "library/sync_names.h"
#include "library/versions.h"
#include "platform/trash.h"

namespace qs::library {

namespace {

constexpr std::size_t kMaxDocumentBytes = 256u << 20;

std::string curly_quoted(std::string_view s) {
  return "\u201c" + std::string(s) + "\u201d";
}

// An envelope whose doc has an id the writing folder may hold; none for anything else (a
// damaged file, an id that breaks the rule or is one the app keeps).
std::optional<json::object> parse_envelope(std::string_view bytes) {
  auto parsed = json::parse(bytes);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::object* doc = json::find_object(parsed->get_object(), "doc");
  auto id = doc ? json::find_string(*doc, "id") : std::nullopt;
  if (!id || !ids::is_document_id(*id) || ids::is_reserved_id(*id)) return std::nullopt;
  return std::move(parsed->get_object());
}

// The same from the file `name` in `folder`; none also for a link, a folder or an empty file.
std::optional<json::object> read_envelope(const file_io::Folder& folder, std::string_view name) {
  auto st = folder.status(name);
  if (!st || !S_ISREG(st->st_mode) || st->st_size == 0) return std::nullopt;
  auto bytes = folder.read(name, kMaxDocumentBytes);
  return bytes ? parse_envelope(*bytes) : std::nullopt;
}

// "YYYYMMDD-HHMMSS" in UTC, as Syncthing writes the time into a name.
std::string utcStampForName(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

const json::object& doc_of(const json::object& envelope) {
  return *json::find_object(envelope, "doc");
}

std::string id_of(const json::object& envelope) {
  return std::string(*json::find_string(doc_of(envelope), "id"));
}

std::string title_of(const json::object& doc) {
  auto title = json::find_string(doc, "title");
  return title && !title->empty() ? std::string(*title) : fileName(doc);
}

std::chrono::system_clock::time_point file_time(const struct stat& st) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

// The time every file of a package made from `envelope` gets: the doc's `updated`, else the
// source file's own modification time (which a sync tool carries over too).
std::chrono::system_clock::time_point time_of(const json::object& envelope,
                                              std::chrono::system_clock::time_point source) {
  const double updated = standingOf(envelope).updated;
  if (updated <= 0 || updated > 8.64e15) return source;
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double, std::milli>(updated)));
}

// A doc as a version: its own id and title.
json::object as_version(const json::object& doc, const std::string& id, std::string_view when) {
  json::object out = doc;
  out["title"] = versionTitle(doc, when);
  out["id"] = id;
  return out;
}

// A picture whose bytes are what its content-hash name says.
bool is_named_by_content(std::string_view name, std::string_view bytes) {
  const auto digest = digest::sha256(bytes);
  const std::string hex = digest::hex(digest.data(), 10);
  return name.size() > hex.size() && name.substr(0, hex.size()) == hex && name[hex.size()] == '.';
}

// Copies the pictures `doc` references that `package` lacks from `sources`, each checked against
// its content-hash name and given its source's modification time (so that two computers copying
// it write the same file). Gives those still missing.
std::set<std::string> copy_missing_images(const fs::path& package, const json::value& doc,
                                          const std::vector<fs::path>& sources) {
  std::set<std::string> wanted;
  images::referencedImages(doc, wanted);
  std::set<std::string> missing;
  if (wanted.empty()) return missing;
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  auto images = folder ? folder->sub("images", file_io::Folder::Create::kYes) : std::nullopt;
  if (!images) return wanted;
  for (const auto& name : wanted) {
    if (auto st = images->status(name); st && S_ISREG(st->st_mode)) continue;
    bool copied = false;
    for (const auto& source : sources) {
      auto from = file_io::Folder::open(source / "images", file_io::Links::kRefuse);
      auto st = from ? from->status(name) : std::nullopt;
      auto bytes = st && S_ISREG(st->st_mode) ? from->read(name) : std::nullopt;
      if (!bytes || !is_named_by_content(name, *bytes)) continue;
      if (!images->write_atomically(name, *bytes, file_io::Durability::kFileOnly)) break;
      const struct timespec times[2] = {st->st_mtim, st->st_mtim};
      (void)::utimensat(images->fd(), name.c_str(), times, AT_SYMLINK_NOFOLLOW);
      copied = true;
      break;
    }
    if (!copied) missing.insert(name);
  }
  return missing;
}

// A package made from shared files: written here, found already there (made by this computer or
// another before), or blocked by something else under its name.
struct MadeHere {
  enum class Outcome { kWritten, kAlreadyThere, kBlocked } outcome = Outcome::kBlocked;
  fs::path package;
  std::set<std::string> missing_images;
};

MadeHere make_package_here(const fs::path& folder, const std::string& id, const json::object& doc,
                           const json::object& source, std::chrono::system_clock::time_point when,
                           const std::vector<fs::path>& sources, WriteHooks hooks) {
  MadeHere out;
  out.package = folder / (madeHereName(doc, id) + std::string(kPackageExtension));
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    if (!file_io::create_folders(folder)) return out;
  } else if (!S_ISDIR(st.st_mode)) {
    return out;  // an Archive that is a link or a file is never written through
  }
  if (::lstat(out.package.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode) || readIDOrReason(out.package).id != id) return out;
    out.outcome = MadeHere::Outcome::kAlreadyThere;
    out.missing_images = copy_missing_images(out.package, doc, sources);
    return out;
  }
  // The pictures come along as the page's data URLs would, and are stored again under their
  // names: the package holds every one it references that any source has.
  json::value restored = doc;
  for (const auto& from : sources) restored = images::restoreImages(restored, from);
  json::object record;
  if (const json::object* kept = json::find_object(source, "record")) record = *kept;
  if (const json::value* app = source.if_contains("app"); app && app->is_string()) {
    hooks.app = std::string(app->get_string());
  }
  hooks.file_time = when;
  hooks.secondary_failed = {};
  hooks.sync_folder_later = {};
  std::set<std::string> missing;
  if (!writePackage(out.package, record, restored.as_object(), hooks, &missing)) return out;
  out.outcome = MadeHere::Outcome::kWritten;
  out.missing_images = std::move(missing);
  return out;
}

}  // namespace

bool Library::stillArriving_locked(const fs::path& package) {
  struct stat st {};
  const fs::path document = package / kDocumentFile;
  if (::lstat(document.c_str(), &st) == 0 || errno != ENOENT) {
    folders_.met(package);
    return false;
  }
  const auto now = wall_clock_();
  const auto due = folders_.firstMet(package, now) + kArrivalTime;
  if (now >= due) return false;
  recheck_at_ = recheck_at_ ? std::min(*recheck_at_, due) : due;
  return true;
}

void Library::findVersions_locked(const Guard&, const ScanResult& result) {
  pending_ = {};
  for (const auto& scanned : result.packages) {
    const auto stamp = scanned.folder ? scanned.folder : folderStamp(scanned.path);
    if (!stamp) continue;
    for (const auto& name : folders_.versionFiles(scanned.path, *stamp)) {
      pending_.files.push_back({scanned.path, name});
    }
  }
  pending_.duplicates = result.duplicates;
}

bool Library::bringInVersions_locked(const Guard& guard, std::vector<Problem>& problems,
                                     Waiting waiting) {
  Pending pending = std::exchange(pending_, {});
  held_recheck_at_.reset();
  bool changed = false;
  for (const auto& d : pending.duplicates) changed |= settleDuplicate_locked(guard, d, waiting);
  for (const auto& f : pending.files) changed |= bringInVersionFile_locked(guard, f, problems);
  if (changed) folders_.save();
  return changed;
}

bool Library::trashSetAside(const fs::path& path) {
  std::string error;
  if (services_.trash && services_.trash->moveToTrash(path, &error)) return true;
  std::fprintf(stderr, "Quillstone: couldn't move %s to the Trash: %s; it stays in place\n",
               path.c_str(), services_.trash ? error.c_str() : "there is no Trash here");
  return false;
}

void Library::keptVersion_locked(const Guard& guard, const std::string& id, const fs::path& package,
                                 const fs::path& from, std::string reason) {
  index_[id] = package;
  ledger_[id] = package.string();
  save_ledger_locked(guard);
  folders_.forget(package);
  fresh_ = false;
  prepared_.reset();
  std::fprintf(stderr, "Quillstone: kept %s as the document %s\n", from.c_str(), package.c_str());
  if (services_.log) {
    services_.log->append("version-kept", json::object{{"doc", id},
                                                       {"from", from.filename().string()},
                                                       {"package", package.filename().string()}});
  }
  untold_.push_back({package.stem().string(), std::move(reason)});
}

std::optional<fs::path> Library::versionLike_locked(const Guard&, std::string_view original_id,
                                                    const json::object& doc) {
  auto bare = [](json::object d) {
    const std::string head(splitVersionSuffix(json::find_string(d, "title").value_or("")).first);
    d.erase("id");
    d.erase("updated");
    d["title"] = head;
    return d;
  };
  const json::object wanted = bare(doc);
  for (const auto& [id, package] : index_) {
    if (!id.starts_with("v") || id == original_id) continue;
    auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
    auto envelope = folder ? read_envelope(*folder, kDocumentFile) : std::nullopt;
    if (!envelope) continue;
    const json::object& other = doc_of(*envelope);
    if (splitVersionSuffix(json::find_string(other, "title").value_or("")).second.empty()) continue;
    if (bare(other) == wanted) return package;
  }
  return std::nullopt;
}

bool Library::keptAlready_locked(const Guard& guard, const std::string& original,
                                 const json::object& doc, const std::string& id,
                                 const std::vector<fs::path>& sources) {
  if (index_.contains(id)) return false;  // made again where it is, which fills in its pictures
  auto like = versionLike_locked(guard, original, doc);
  if (!like) return false;
  auto folder = file_io::Folder::open(*like, file_io::Links::kRefuse);
  auto envelope = folder ? read_envelope(*folder, kDocumentFile) : std::nullopt;
  if (envelope && copy_missing_images(*like, doc_of(*envelope), sources).empty()) {
    (void)trashSetAside(sources.front());
  }
  return true;
}

bool Library::settleDuplicate_locked(const Guard& guard, const Duplicate& d, Waiting waiting) {
  auto loser = file_io::Folder::open(d.package, file_io::Links::kRefuse);
  auto winner = file_io::Folder::open(d.winner, file_io::Links::kRefuse);
  auto lost = loser ? read_envelope(*loser, kDocumentFile) : std::nullopt;
  auto kept = winner ? read_envelope(*winner, kDocumentFile) : std::nullopt;
  // Changed since the scan: the next look decides again.
  if (!lost || !kept || id_of(*lost) != d.id || id_of(*kept) != d.id) return false;
  const json::object& doc = doc_of(*lost);
  // A picture only the losing package still holds is the document's too.
  (void)copy_missing_images(d.winner, doc_of(*kept), {d.package});
  ledger_[d.id] = d.winner.string();
  if (sameButUpdated(doc, doc_of(*kept))) {
    (void)trashSetAside(d.package);
    return true;
  }
  // What this process last read or wrote of the document may be what the other package has just
  // replaced: a sync tool moving a package renamed elsewhere brings the new one before the old one
  // goes. It is left as it is for a while, and kept as a version only if it is still there.
  if (auto seen = seen_.find(d.id);
      waiting == Waiting::kWait && seen != seen_.end() && !seen->second.hash.empty()) {
    auto bytes = loser->read(kDocumentFile, kMaxDocumentBytes);
    if (bytes && digest::contentStamp(*bytes) == seen->second.hash) {
      const auto now = wall_clock_();
      const auto due = held_.try_emplace(d.package.string(), now).first->second + kArrivalTime;
      if (now < due) {
        held_recheck_at_ = held_recheck_at_ ? std::min(*held_recheck_at_, due) : due;
        return false;
      }
    }
  }

  auto text = json::compact(doc);
  if (!text) return false;
  const std::string id = versionId(d.id, *text);
  if (keptAlready_locked(guard, d.id, doc, id, {d.package, d.winner})) return true;
  const json::object version = as_version(doc, id, utcMinute(standingOf(*lost).updated));
  struct stat st {};
  const auto source_time = ::lstat((d.package / kDocumentFile).c_str(), &st) == 0
                               ? file_time(st)
                               : std::chrono::system_clock::time_point();
  MadeHere made = make_package_here(placement(id, version, root_, support_).folder, id, version,
                                    *lost, time_of(*lost, source_time), {d.package, d.winner},
                                    services_.package_hooks);
  if (made.outcome == MadeHere::Outcome::kBlocked) return false;
  if (made.outcome == MadeHere::Outcome::kWritten) {
    keptVersion_locked(guard, id, made.package, d.package,
                       "Another version of " + curly_quoted(title_of(doc_of(*kept))) +
                           ", from a second package holding the same document; it is now a "
                           "document of its own.");
  }
  if (made.missing_images.empty()) (void)trashSetAside(d.package);
  return true;
}

bool Library::bringInVersionFile_locked(const Guard& guard, const VersionFile& f,
                                        std::vector<Problem>& problems) {
  auto package = file_io::Folder::open(f.package, file_io::Links::kRefuse);
  if (!package || !package->status(f.name)) return false;
  const auto name = parseVersionFileName(f.name);
  auto set_aside = read_envelope(*package, f.name);
  if (!set_aside || !name) {
    problems.push_back({f.package.stem().string(),
                        "Holds " + curly_quoted(f.name) +
                            ", which a sync tool set aside but isn't a document the app can read; "
                            "it is left as it is."});
    return false;
  }
  const json::object& doc = doc_of(*set_aside);
  const std::string original = id_of(*set_aside);
  const fs::path source = f.package / f.name;
  struct stat st {};
  const auto source_time =
      ::lstat(source.c_str(), &st) == 0 ? file_time(st) : std::chrono::system_clock::time_point();

  // Where the document it is a version of lives now: this package, or another one.
  std::optional<fs::path> holder;
  std::optional<json::object> current;
  if (auto own = read_envelope(*package, kDocumentFile); own && id_of(*own) == original) {
    holder = f.package;
    current = std::move(own);
  } else if (auto it = index_.find(original); it != index_.end()) {
    holder = it->second;
    auto folder = file_io::Folder::open(*holder, file_io::Links::kRefuse);
    current = folder ? read_envelope(*folder, kDocumentFile) : std::nullopt;
  }

  MadeHere made;
  std::string reason;
  if (holder) {
    if (current && sameButUpdated(doc, doc_of(*current))) {
      (void)trashSetAside(source);
      return true;
    }
    auto text = json::compact(doc);
    if (!text) return false;
    const std::string id = versionId(original, *text);
    if (keptAlready_locked(guard, original, doc, id, {source, f.package, *holder})) return true;
    const json::object version = as_version(doc, id, name->when);
    made = make_package_here(placement(id, version, root_, support_).folder, id, version,
                             *set_aside, time_of(*set_aside, source_time), {f.package, *holder},
                             services_.package_hooks);
    reason = "Another version of " + curly_quoted(title_of(current ? doc_of(*current) : doc)) +
             " that a sync tool set aside; it is now a document of its own.";
    if (made.outcome == MadeHere::Outcome::kWritten) {
      keptVersion_locked(guard, id, made.package, source, reason);
    }
  } else {
    // Another document the sync tool put aside when two took one name: its own package again,
    // with its record as it is.
    made = make_package_here(placement(original, doc, root_, support_).folder, original, doc,
                             *set_aside, time_of(*set_aside, source_time), {f.package},
                             services_.package_hooks);
    if (made.outcome == MadeHere::Outcome::kWritten) {
      keptVersion_locked(guard, original, made.package, source,
                         "A document a sync tool set aside inside " +
                             curly_quoted(f.package.stem().string()) +
                             "; it has a package of its own again.");
    }
  }
  if (made.outcome == MadeHere::Outcome::kBlocked) {
    problems.push_back({f.package.stem().string(),
                        "Holds " + curly_quoted(f.name) +
                            ", a version a sync tool set aside; something else is where the app "
                            "would keep it, so it is left as it is."});
    return false;
  }
  // The file goes once its new package holds every picture it references.
  if (made.missing_images.empty()) (void)trashSetAside(source);
  return true;
}

Library::LastKnown Library::lastKnown(const std::string& id, const fs::path& package) const {
  Guard guard(mutex_);
  LastKnown out;
  if (auto it = seen_.find(id); it != seen_.end()) {
    out.seen = it->second;
  } else if (auto r = reads_.find(package.string()); r != reads_.end()) {
    out.read = r->second.stamp;
  }
  return out;
}

void Library::keepReplacedText(const std::string& id, const fs::path& package,
                               const json::object& doc, const LastKnown& known,
                               std::string_view bytes, const struct stat& status) {
  const auto& seen = known.seen;
  const auto& read = known.read;
  if (!seen && !read) return;  // never read here: nothing to tell a change by
  if (seen) {
    if (static_cast<std::uintmax_t>(status.st_size) == seen->size &&
        std::chrono::file_clock::from_sys(file_time(status)) == seen->date) {
      return;
    }
    if (!seen->hash.empty() && digest::contentStamp(bytes) == seen->hash) return;
  } else if (read && read->inode == status.st_ino && read->size == status.st_size &&
             read->modified.tv_sec == status.st_mtim.tv_sec &&
             read->modified.tv_nsec == status.st_mtim.tv_nsec) {
    return;
  }
  auto replaced = parse_envelope(bytes);
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  if (!replaced || !folder) return;
  const json::object& replaced_doc = doc_of(*replaced);
  const std::string replaced_id = id_of(*replaced);
  // The page's doc carries its pictures as data URLs; the file, as references.
  if (replaced_id == id) {
    json::value restored = images::restoreImages(replaced_doc, *folder);
    if (restored.is_object() && sameButUpdated(restored.get_object(), doc)) return;
  }
  Guard guard(mutex_);
  std::string kept_id = replaced_id;
  json::object kept_doc = replaced_doc;
  std::string reason;
  if (replaced_id == id || index_.contains(replaced_id)) {
    auto text = json::compact(replaced_doc);
    if (!text) return;
    kept_id = versionId(replaced_id, *text);
    kept_doc = as_version(replaced_doc, kept_id, utcMinute(standingOf(*replaced).updated));
    reason = "Another version of " + curly_quoted(title_of(replaced_doc)) +
             " that arrived while it was being saved; it is now a document of its own.";
  } else {
    reason = "A document a sync tool put in place of " + curly_quoted(title_of(doc)) +
             " as it was being saved; it has a package of its own again.";
  }
  MadeHere made = make_package_here(placement(kept_id, kept_doc, root_, support_).folder, kept_id,
                                    kept_doc, *replaced, time_of(*replaced, file_time(status)),
                                    {package}, services_.package_hooks);
  if (made.outcome == MadeHere::Outcome::kWritten) {
    keptVersion_locked(guard, kept_id, made.package, package / kDocumentFile, reason);
  } else if (made.outcome == MadeHere::Outcome::kBlocked) {
    // Nothing may be lost: the text stays in the package as a version file, which a later look
    // brings in (or reports).
    const std::string name =
        "document.sync-conflict-" + utcStampForName(wall_clock_()) + "-QUILLST.json";
    std::fprintf(stderr, "Quillstone: kept the text a sync tool put in %s as %s\n", package.c_str(),
                 name.c_str());
    (void)folder->write_atomically(name, bytes, file_io::Durability::kSurvivesCrash);
  }
}

bool Library::healImages_locked(const Guard&, const fs::path& package) {
  if (!services_.trash) return false;
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  auto envelope = folder ? read_envelope(*folder, kDocumentFile) : std::nullopt;
  if (!envelope) return false;
  std::set<std::string> wanted;
  images::referencedImages(doc_of(*envelope), wanted);
  auto images = folder->sub("images");
  std::size_t missing = 0;
  bool new_to_look_for = false;
  for (const auto& name : wanted) {
    if (auto st = images ? images->status(name) : std::nullopt; st && S_ISREG(st->st_mode)) {
      continue;
    }
    ++missing;
    new_to_look_for |= looked_for_.insert(package.string() + "/" + name).second;
  }
  if (!new_to_look_for) return false;
  std::vector<fs::path> sources;
  for (auto& item : services_.trash->trashedFrom(root_)) {
    if (item.extension() == kPackageExtension) sources.push_back(std::move(item));
  }
  return copy_missing_images(package, doc_of(*envelope), sources).size() < missing;
}

std::optional<std::chrono::milliseconds> Library::recheckIn() const {
  Guard guard(mutex_);
  auto at = recheck_at_;
  if (held_recheck_at_) at = at ? std::min(*at, *held_recheck_at_) : held_recheck_at_;
  if (!at) return std::nullopt;
  const auto left = *at - wall_clock_();
  return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(left));
}

}  // namespace qs::library
