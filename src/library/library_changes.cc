// The outside-change check: the folders compared with what the app last read or wrote
// (change_check.h), giving the records of documents other programs changed, added or removed.
#include "core/clock.h"
#include "core/digest.h"
#include "core/host_log.h"
#include "library/file_coordinator.h"
#include "library/library.h"
#include "preview/search_index.h"

namespace qs::library {

json::array Library::externalChanges() {
  Guard guard(mutex_);
  // A write in flight has changed its files but not yet what the library saw of them.
  planner_.waitForAll(guard);
  CheckCost cost;
  // Packages seen unchanged at the same place are not read again for their id.
  const KnownID known = changes_.knownIDs(cost);
  checkScanLocked(guard, known);
  // What a sync tool set aside is brought in, and what that wrote is then found as new.
  std::vector<Problem> version_problems;
  if (bringInVersionsLocked(guard, version_problems)) checkScanLocked(guard, known);
  problems_.insert(problems_.end(), version_problems.begin(), version_problems.end());

  const std::int64_t now = clock::nowMs();
  json::array changed;
  bool ledger_changed = false;
  for (const auto& [id, package] : index_) {
    if (id.starts_with("_")) continue;
    if (auto record = changedRecordLocked(guard, id, package, cost, ledger_changed)) {
      changed.push_back(std::move(*record));
    }
  }
  json::array removed = removalsLocked(guard, now);
  if (ledger_changed) saveLedgerLocked(guard);
  if (!changed.empty()) fresh_ = false;  // the start's reads no longer all hold
  changes_.setLastCost(cost);
  for (auto& r : removed) changed.push_back(std::move(r));
  return changed;
}

void Library::checkScanLocked(const Guard& guard, const KnownID& known) {
  recheck_at_.reset();
  takeScanLocked(
      guard, scanFolders(scannedFolders(), &ledger_, scanHooksLocked(guard, identifyWith(known))));
}

void Library::followMoveLocked(const std::string& id, const fs::path& package, Seen& seen,
                               CheckCost& cost, bool& ledger_changed) {
  seen.path = package.string();
  ledger_[id] = package.string();
  ledger_changed = true;
  // The search index names the package, so it follows; a rename is rare enough to read the
  // document for it.
  if (!services_.spotlight) return;
  std::optional<json::object> record;
  {
    auto access = FileCoordinator::shared().read(package);
    record = readRecord(package);
  }
  ++cost.records_read;
  if (const json::object* doc = record ? json::findObject(*record, "doc") : nullptr) {
    services_.spotlight->update(id, *doc, package, searchStamp(package).value_or(""));
  }
}

std::optional<json::object> Library::changedRecordLocked(const Guard& guard, const std::string& id,
                                                         const fs::path& package, CheckCost& cost,
                                                         bool& ledger_changed) {
  auto stamp = documentStamp(package);
  if (!stamp) return std::nullopt;
  Seen* seen = changes_.find(id);
  const bool arrived = seen && ChangeCheck::imageArrived(*seen);
  if (seen && seen->size == stamp->size && seen->date == stamp->date && !arrived) {
    if (seen->path != package.string()) followMoveLocked(id, package, *seen, cost, ledger_changed);
    return std::nullopt;
  }
  std::string hash;
  ++cost.hashed;
  if (auto bytes = readDocumentFile(package)) hash = digest::contentStamp(*bytes);
  if (seen && !hash.empty() && seen->hash == hash && !arrived) {
    *seen = Seen{stamp->size,      stamp->date, hash,
                 package.string(), seen->rev,   seen->missing_images};  // touched only
    return std::nullopt;
  }
  std::optional<json::object> record;
  std::set<std::string> missing_images;
  for (bool healed = false;;) {
    {
      auto access = FileCoordinator::shared().read(package);
      record = readRecord(package, &missing_images);
    }
    if (!record || missing_images.empty() || healed || !healImagesLocked(guard, package)) break;
    healed = true;  // its pictures are back: read with them
  }
  ++cost.records_read;
  if (!record) return std::nullopt;  // half written or damaged: the next change looks again
  const std::int64_t raised =
      changes_.raisedRev(id, integerOf(record->if_contains("rev")).value_or(1));
  (*record)["rev"] = raised;
  const bool was_known = seen != nullptr;
  changes_.remember(id, Seen{stamp->size, stamp->date, hash, package.string(), raised,
                             std::move(missing_images)});
  ledger_[id] = package.string();
  ledger_changed = true;
  if (const json::object* doc = json::findObject(*record, "doc")) {
    if (services_.spotlight) {
      services_.spotlight->update(id, *doc, package, searchStamp(package).value_or(""));
    }
    if (services_.log) {
      services_.log->append("outside-change", json::object{{"doc", id},
                                                           {"rev", raised},
                                                           {"nodes", HostLog::ids(*doc).count},
                                                           {"was", was_known ? "changed" : "new"}});
    }
  }
  return record;
}

json::array Library::removalsLocked(const Guard&, std::int64_t now) {
  // Removals only when the folder itself can be listed: an unmounted or unreadable folder
  // must not look like every document deleted.
  std::error_code ec;
  fs::directory_iterator probe(root_, ec);
  if (ec) return {};
  std::vector<std::string> gone;
  for (const auto& [id, entry] : changes_.all()) {
    if (id.starts_with("_") || index_.contains(id)) continue;
    const fs::path package(entry.path);
    std::string placeholder_name = ".";
    placeholder_name.append(package.filename().string()).append(".icloud");
    const fs::path placeholder = package.parent_path() / placeholder_name;
    std::error_code exists_ec;
    if (fs::exists(fs::symlink_status(package, exists_ec)) ||
        fs::exists(fs::symlink_status(placeholder, exists_ec))) {
      continue;
    }
    gone.push_back(id);
  }
  json::array removed;
  for (const auto& id : gone) {
    deleted_.insert(id);
    const std::int64_t raised = changes_.removed(id);
    if (services_.spotlight) services_.spotlight->remove(id);
    if (services_.log) {
      services_.log->append("outside-removed", json::object{{"doc", id}, {"rev", raised}});
    }
    removed.push_back(json::object{
        {"id", id}, {"rev", raised}, {"updated", now}, {"deleted", true}, {"deletedAt", now}});
  }
  return removed;
}

}  // namespace qs::library
