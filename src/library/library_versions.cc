// The library's part in keeping what sync tools set aside: version files inside packages, second
// packages holding one document, and text put in place unseen just before a save. See versions.h
// for the rules every computer sharing the folder applies alike, and version_packages.h for the
// packages made from them.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/digest.h"
#include "core/file_io.h"
#include "core/host_log.h"
#include "core/system_log.h"
#include "library/images.h"
#include "library/library.h"
#include "library/version_packages.h"
#include "library/versions.h"
#include "platform/trash.h"

namespace qs::library {

namespace {

// "YYYYMMDD-HHMMSS" in UTC, as Syncthing writes the time into a name.
std::string utcStampForName(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

}  // namespace

bool Library::stillArrivingLocked(const fs::path& package) {
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

void Library::findVersionsLocked(const Guard&, const ScanResult& result) {
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

bool Library::bringInVersionsLocked(const Guard& guard, std::vector<Problem>& problems,
                                    Waiting waiting) {
  Pending pending = std::exchange(pending_, {});
  held_recheck_at_.reset();
  bool changed = false;
  for (const auto& d : pending.duplicates) changed |= settleDuplicateLocked(guard, d, waiting);
  for (const auto& f : pending.files) changed |= bringInVersionFileLocked(guard, f, problems);
  if (changed) folders_.save();
  return changed;
}

bool Library::trashSetAside(const fs::path& path) {
  std::string error;
  if (services_.trash && services_.trash->moveToTrash(path, &error)) return true;
  systemLog("couldn't move %s to the Trash: %s; it stays in place", path.c_str(),
            services_.trash ? error.c_str() : "there is no Trash here");
  return false;
}

void Library::keptVersionLocked(const Guard& guard, const std::string& id, const fs::path& package,
                                const fs::path& from, std::string reason) {
  index_[id] = package;
  ledger_[id] = package.string();
  saveLedgerLocked(guard);
  folders_.forget(package);
  fresh_ = false;
  prepared_.reset();
  systemLog("kept %s as the document %s", from.c_str(), package.c_str());
  if (services_.log) {
    services_.log->append("version-kept", json::object{{"doc", id},
                                                       {"from", from.filename().string()},
                                                       {"package", package.filename().string()}});
  }
  untold_.push_back({package.stem().string(), std::move(reason)});
}

std::optional<fs::path> Library::versionLikeLocked(const Guard&, std::string_view original_id,
                                                   const json::object& doc) {
  auto bare = [](json::object d) {
    const std::string head(splitVersionSuffix(json::findString(d, "title").value_or("")).first);
    d.erase("id");
    d.erase("updated");
    d["title"] = head;
    return d;
  };
  const json::object wanted = bare(doc);
  for (const auto& [id, package] : index_) {
    if (!id.starts_with("v") || id == original_id) continue;
    auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
    auto envelope = folder ? readEnvelope(*folder, kDocumentFile) : std::nullopt;
    if (!envelope) continue;
    const json::object& other = docOf(*envelope);
    if (splitVersionSuffix(json::findString(other, "title").value_or("")).second.empty()) continue;
    if (bare(other) == wanted) return package;
  }
  return std::nullopt;
}

bool Library::keptAlreadyLocked(const Guard& guard, const std::string& original,
                                const json::object& doc, const std::string& id,
                                const std::vector<fs::path>& sources) {
  if (index_.contains(id)) return false;  // made again where it is, which fills in its pictures
  auto like = versionLikeLocked(guard, original, doc);
  if (!like) return false;
  auto folder = file_io::Folder::open(*like, file_io::Links::kRefuse);
  auto envelope = folder ? readEnvelope(*folder, kDocumentFile) : std::nullopt;
  if (envelope && copyMissingImages(*like, docOf(*envelope), sources).empty()) {
    (void)trashSetAside(sources.front());
  }
  return true;
}

bool Library::settleDuplicateLocked(const Guard& guard, const Duplicate& d, Waiting waiting) {
  auto loser = file_io::Folder::open(d.package, file_io::Links::kRefuse);
  auto winner = file_io::Folder::open(d.winner, file_io::Links::kRefuse);
  auto lost = loser ? readEnvelope(*loser, kDocumentFile) : std::nullopt;
  auto kept = winner ? readEnvelope(*winner, kDocumentFile) : std::nullopt;
  // Changed since the scan: the next look decides again.
  if (!lost || !kept || idOf(*lost) != d.id || idOf(*kept) != d.id) return false;
  const json::object& doc = docOf(*lost);
  // A picture only the losing package still holds is the document's too.
  (void)copyMissingImages(d.winner, docOf(*kept), {d.package});
  ledger_[d.id] = d.winner.string();
  if (sameButUpdated(doc, docOf(*kept))) {
    (void)trashSetAside(d.package);
    return true;
  }
  // What this process last read or wrote of the document may be what the other package has just
  // replaced: a sync tool moving a package renamed elsewhere brings the new one before the old one
  // goes. It is left as it is for a while, and kept as a version only if it is still there.
  if (const Seen* seen = changes_.find(d.id);
      waiting == Waiting::kWait && seen && !seen->hash.empty()) {
    auto bytes = loser->read(kDocumentFile, kMaxDocumentBytes);
    if (bytes && digest::contentStamp(*bytes) == seen->hash) {
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
  if (keptAlreadyLocked(guard, d.id, doc, id, {d.package, d.winner})) return true;
  const json::object version = asVersion(doc, id, utcMinute(standingOf(*lost).updated));
  const auto source_time = modifiedAt(d.package / kDocumentFile);
  MadeHere made =
      makePackageHere(placement(id, version, root_, support_).folder, id, version, *lost,
                      timeOf(*lost, source_time), {d.package, d.winner}, services_.package_hooks);
  if (made.outcome == MadeHere::Outcome::kBlocked) return false;
  if (made.outcome == MadeHere::Outcome::kWritten) {
    keptVersionLocked(guard, id, made.package, d.package,
                      "Another version of " + curlyQuoted(titleOf(docOf(*kept))) +
                          ", from a second package holding the same document; it is now a "
                          "document of its own.");
  }
  if (made.missing_images.empty()) (void)trashSetAside(d.package);
  return true;
}

bool Library::bringInVersionFileLocked(const Guard& guard, const VersionFile& f,
                                       std::vector<Problem>& problems) {
  auto package = file_io::Folder::open(f.package, file_io::Links::kRefuse);
  if (!package || !package->status(f.name)) return false;
  const auto name = parseVersionFileName(f.name);
  auto set_aside = readEnvelope(*package, f.name);
  if (!set_aside || !name) {
    problems.push_back({f.package.stem().string(),
                        "Holds " + curlyQuoted(f.name) +
                            ", which a sync tool set aside but isn't a document the app can read; "
                            "it is left as it is."});
    return false;
  }
  const json::object& doc = docOf(*set_aside);
  const std::string original = idOf(*set_aside);
  const fs::path source = f.package / f.name;
  const auto source_time = modifiedAt(source);

  // Where the document it is a version of lives now: this package, or another one.
  std::optional<fs::path> holder;
  std::optional<json::object> current;
  if (auto own = readEnvelope(*package, kDocumentFile); own && idOf(*own) == original) {
    holder = f.package;
    current = std::move(own);
  } else if (auto it = index_.find(original); it != index_.end()) {
    holder = it->second;
    auto folder = file_io::Folder::open(*holder, file_io::Links::kRefuse);
    current = folder ? readEnvelope(*folder, kDocumentFile) : std::nullopt;
  }

  MadeHere made;
  std::string reason;
  if (holder) {
    if (current && sameButUpdated(doc, docOf(*current))) {
      (void)trashSetAside(source);
      return true;
    }
    auto text = json::compact(doc);
    if (!text) return false;
    const std::string id = versionId(original, *text);
    if (keptAlreadyLocked(guard, original, doc, id, {source, f.package, *holder})) return true;
    const json::object version = asVersion(doc, id, name->when);
    made = makePackageHere(placement(id, version, root_, support_).folder, id, version, *set_aside,
                           timeOf(*set_aside, source_time), {f.package, *holder},
                           services_.package_hooks);
    reason = "Another version of " + curlyQuoted(titleOf(current ? docOf(*current) : doc)) +
             " that a sync tool set aside; it is now a document of its own.";
    if (made.outcome == MadeHere::Outcome::kWritten) {
      keptVersionLocked(guard, id, made.package, source, reason);
    }
  } else {
    // Another document the sync tool put aside when two took one name: its own package again,
    // with its record as it is.
    made =
        makePackageHere(placement(original, doc, root_, support_).folder, original, doc, *set_aside,
                        timeOf(*set_aside, source_time), {f.package}, services_.package_hooks);
    if (made.outcome == MadeHere::Outcome::kWritten) {
      keptVersionLocked(guard, original, made.package, source,
                        "A document a sync tool set aside inside " +
                            curlyQuoted(f.package.stem().string()) +
                            "; it has a package of its own again.");
    }
  }
  if (made.outcome == MadeHere::Outcome::kBlocked) {
    problems.push_back({f.package.stem().string(),
                        "Holds " + curlyQuoted(f.name) +
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
  if (const Seen* seen = changes_.find(id)) {
    out.seen = *seen;
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
        std::chrono::file_clock::from_sys(modifiedAt(status)) == seen->date) {
      return;
    }
    if (!seen->hash.empty() && digest::contentStamp(bytes) == seen->hash) return;
  } else if (read && read->inode == status.st_ino && read->size == status.st_size &&
             read->modified.tv_sec == status.st_mtim.tv_sec &&
             read->modified.tv_nsec == status.st_mtim.tv_nsec) {
    return;
  }
  auto replaced = parseEnvelope(bytes);
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  if (!replaced || !folder) return;
  const json::object& replaced_doc = docOf(*replaced);
  const std::string replaced_id = idOf(*replaced);
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
    kept_doc = asVersion(replaced_doc, kept_id, utcMinute(standingOf(*replaced).updated));
    reason = "Another version of " + curlyQuoted(titleOf(replaced_doc)) +
             " that arrived while it was being saved; it is now a document of its own.";
  } else {
    reason = "A document a sync tool put in place of " + curlyQuoted(titleOf(doc)) +
             " as it was being saved; it has a package of its own again.";
  }
  MadeHere made = makePackageHere(placement(kept_id, kept_doc, root_, support_).folder, kept_id,
                                  kept_doc, *replaced, timeOf(*replaced, modifiedAt(status)),
                                  {package}, services_.package_hooks);
  if (made.outcome == MadeHere::Outcome::kWritten) {
    keptVersionLocked(guard, kept_id, made.package, package / kDocumentFile, reason);
  } else if (made.outcome == MadeHere::Outcome::kBlocked) {
    // Nothing may be lost: the text stays in the package as a version file, which a later look
    // brings in (or reports).
    const std::string name =
        "document.sync-conflict-" + utcStampForName(wall_clock_()) + "-QUILLST.json";
    systemLog("kept the text a sync tool put in %s as %s", package.c_str(), name.c_str());
    (void)folder->writeAtomically(name, bytes, file_io::Durability::kSurvivesCrash);
  }
}

bool Library::healImagesLocked(const Guard&, const fs::path& package) {
  if (!services_.trash) return false;
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  auto envelope = folder ? readEnvelope(*folder, kDocumentFile) : std::nullopt;
  if (!envelope) return false;
  std::set<std::string> wanted;
  images::referencedImages(docOf(*envelope), wanted);
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
  return copyMissingImages(package, docOf(*envelope), sources).size() < missing;
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
