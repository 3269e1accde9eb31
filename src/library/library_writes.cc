// Writes from the page: one record, or a batch on a few threads, each at the place the write
// planner (write_planner.h) chooses and claims under the lock, its files written outside it.
#include <algorithm>
#include <cstdio>
#include <semaphore>

#include "core/file_io.h"
#include "core/host_log.h"
#include "core/ids.h"
#include "core/system_log.h"
#include "core/text.h"
#include "library/file_coordinator.h"
#include "library/library.h"
#include "library/package_moves.h"
#include "library/paths.h"
#include "preview/preview.h"
#include "preview/search_index.h"

namespace qs::library {

namespace {

// The threads a batch's packages are written on.
constexpr std::size_t kBatchThreads = 3;

std::string titleForMessage(const json::value* doc) {
  static const json::object kEmpty;
  const json::object& d = doc && doc->is_object() ? doc->get_object() : kEmpty;
  std::string title = text::trimWhitespaceAndNewlines(json::findString(d, "title").value_or(""));
  if (title.empty()) title = Preview::firstWords(d).value_or("Untitled");
  return title;
}

bool isDeletedRecord(const json::object& record) {
  const json::value* deleted = record.if_contains("deleted");
  return deleted && deleted->is_bool() && deleted->get_bool();
}

}  // namespace

std::optional<std::string> Library::write(const json::array& docs, const json::object* meta,
                                          const json::object* pretext) {
  const Batch batch(*this);
  std::vector<char> failed(docs.size(), 0);
  writeBatch(docs, failed);
  for (const auto& [object, file] :
       {std::pair{meta, kWorkspaceFile}, std::pair{pretext, kPretextFile}}) {
    if (!object) continue;
    if (auto text = json::pretty(*object)) {
      (void)file_io::writeAtomically(support_ / file, *text);
    }
  }
  std::string titles;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    if (!failed[i]) continue;
    if (!titles.empty()) titles += "\u201d, \u201c";
    titles +=
        titleForMessage(docs[i].is_object() ? docs[i].get_object().if_contains("doc") : nullptr);
  }
  if (titles.empty()) return std::nullopt;
  return "Couldn't write \u201c" + titles + "\u201d to Documents \u2192 Quillstone.";
}

void Library::writeBatch(const json::array& docs, std::vector<char>& failed) {
  // Several records are written on a few threads, so that one package's fsyncs wait beside
  // another's drawing. The places are chosen here, one record after another in the batch's
  // order, as one write after another would choose them (a place chosen counts as taken); the
  // files go on together. A folder new packages went into is synced once, at the end, before
  // the batch counts as written and the ledger names them.
  std::mutex folders_lock;
  std::set<fs::path> folders;
  const std::function<void(const fs::path&)> syncLater = [&](const fs::path& folder) {
    const std::lock_guard hold(folders_lock);
    folders.insert(folder);
  };
  const std::size_t threads = std::min(kBatchThreads, docs.size() / 2);
  std::optional<WorkerPool> pool;
  if (threads > 0) pool.emplace(threads);
  // At most this many records are taken in at once, which bounds the memory the batch adds.
  std::counting_semaphore<> room(static_cast<std::ptrdiff_t>(2 * kBatchThreads));
  struct Stop {
    std::optional<WorkerPool>& pool;
    ~Stop() {
      if (pool) pool->stop();
    }
  } stop{pool};
  for (std::size_t i = 0; i < docs.size(); ++i) {
    static const json::object kEmpty;
    const json::object& record = docs[i].is_object() ? docs[i].get_object() : kEmpty;
    const bool is_deleted = isDeletedRecord(record);
    const auto id = json::findString(record, "id");
    const json::object* doc = json::findObject(record, "doc");
    if (!pool || is_deleted || !id || !ids::isDocumentID(*id) || !doc ||
        json::findString(*doc, "id") != *id) {
      if (!write(record) && !is_deleted) failed[i] = 1;
      continue;
    }
    std::string key(*id);
    auto place = claimPlace(key, *doc);
    if (!place) {
      failed[i] = 1;
      continue;
    }
    room.acquire();
    pool->async([this, &record, doc, &failed, &room, &syncLater, i, key = std::move(key),
                 package = std::move(*place)]() mutable {
      try {
        if (!writeClaimed(key, record, *doc, std::move(package), syncLater)) failed[i] = 1;
      } catch (const std::exception&) {
        failed[i] = 1;
      }
      room.release();
    });
  }
  if (pool) pool->stop();
  for (const fs::path& folder : folders) {
    std::string error;
    // The packages are there, whole; only their surviving a power cut is in doubt.
    if (!file_io::syncFolder(folder, &error)) systemLog("%s", error.c_str());
  }
}

std::optional<fs::path> Library::write(const json::object& record) {
  auto id = json::findString(record, "id");
  if (!id || !ids::isDocumentID(*id)) return std::nullopt;
  if (isDeletedRecord(record)) {
    Guard guard(mutex_);
    const std::string key(*id);
    planner_.waitForDocument(guard, key);
    trashLocked(guard, key);
    return std::nullopt;
  }
  const json::object* doc = json::findObject(record, "doc");
  // The package is read back under its doc's id: a record for another id would be stored
  // under that one.
  if (!doc || json::findString(*doc, "id") != *id) return std::nullopt;
  return writeRecord(std::string(*id), record, *doc);
}

Library::Batch::Batch(Library& library) : library_(library) {
  Guard guard(library_.mutex_);
  library_.planner_.beginBatch();
}

Library::Batch::~Batch() {
  Guard guard(library_.mutex_);
  if (library_.planner_.endBatch()) library_.saveLedgerLocked(guard);
}

std::optional<fs::path> Library::placeLocked(Guard& guard, const std::string& id,
                                             const json::object& doc) {
  const auto current = index_.find(id);
  const auto place =
      planner_.choose(id, doc, root_, support_,
                      current == index_.end() ? std::nullopt : std::optional(current->second));
  if (!place) return std::nullopt;
  (void)file_io::createFolders(place->folder);
  fs::path package = place->package;
  if (place->moves) {
    const fs::path from = current->second;
    auto access = FileCoordinator::shared().write(from, package);
    if (movePackage(from, package)) {
      // Whatever happens to the write now, the index and ledger say where the package is.
      folders_.forget(from);
      index_[id] = package;
      ledger_[id] = package.string();
      saveLedgerLocked(guard);
      if (Seen* seen = changes_.find(id)) seen->path = package.string();
    } else {
      package = from;
    }
  }
  if (!isInside(package, place->folder)) return std::nullopt;
  return package;
}

std::optional<fs::path> Library::claimPlace(const std::string& id, const json::object& doc) {
  Guard guard(mutex_);
  planner_.waitForDocument(guard, id);
  auto place = placeLocked(guard, id, doc);
  if (!place) return std::nullopt;
  planner_.claim(id, *place);
  return place;
}

void Library::releasePlace(const std::string& id, const fs::path& package) {
  {
    Guard guard(mutex_);
    planner_.release(id, package);
  }
  planner_.notifyReleased();
}

std::optional<fs::path> Library::writeRecord(
    const std::string& id, const json::object& record, const json::object& doc,
    const std::function<void(const fs::path&)>& syncLater) {
  // Under the lock: wait for another write of this document, then choose (and claim) its place.
  auto place = claimPlace(id, doc);
  if (!place) return std::nullopt;
  return writeClaimed(id, record, doc, std::move(*place), syncLater);
}

WriteHooks Library::writeHooks(const std::string& id,
                               const std::function<void(const fs::path&)>& syncLater) const {
  WriteHooks hooks = services_.package_hooks;
  hooks.secondary_failed = [this, &id, outer = services_.package_hooks.secondary_failed](
                               const fs::path& file, std::string_view why) {
    if (services_.log) {
      services_.log->append(
          "write-secondary-failed",
          json::object{
              {"doc", id}, {"file", file.filename().string()}, {"error", std::string(why)}});
    }
    if (outer) outer(file, why);
  };
  hooks.sync_folder_later = syncLater;
  return hooks;
}

void Library::keepPrevious(const std::string& id, const json::value* rev, const fs::path& package,
                           std::size_t nodes, const std::vector<std::string>& repeated) {
  std::error_code ec;
  const fs::path previous = package / "previous.json";
  if (!fs::exists(fs::symlink_status(previous, ec))) {
    if (auto bytes = readDocumentFile(package)) {
      (void)file_io::writeAtomically(previous, *bytes, file_io::Durability::kFileOnly);
    }
  }
  if (!services_.log) return;
  std::string list;
  for (const auto& r : repeated) list += (list.empty() ? "" : ",") + r;
  services_.log->append("write-repeated-ids", json::object{{"doc", id},
                                                           {"rev", rev ? *rev : json::value("?")},
                                                           {"nodes", nodes},
                                                           {"repeated", list},
                                                           {"kept", fs::exists(previous, ec)}});
}

std::optional<fs::path> Library::writeClaimed(
    const std::string& id, const json::object& record, const json::object& doc, fs::path package,
    const std::function<void(const fs::path&)>& syncLater) {
  // Whatever happens below, the document and its place are given back.
  struct Release {
    Library& library;
    const std::string& id;
    const fs::path package;  // a copy: the one below is moved out into the answer
    ~Release() { library.releasePlace(id, package); }
  } release{*this, id, package};

  // Outside the lock, holding the package alone: the files, the log, what was written.
  const auto census = HostLog::ids(doc);
  const json::value* rev = record.if_contains("rev");
  std::optional<Seen> seen;
  {
    auto access = FileCoordinator::shared().write(package);
    if (!census.repeated.empty()) keepPrevious(id, rev, package, census.count, census.repeated);
    WriteHooks hooks = writeHooks(id, syncLater);
    const LastKnown known = lastKnown(id, package);
    hooks.replaced = [&](std::string_view bytes, const struct stat& status) {
      keepReplacedText(id, package, doc, known, bytes, status);
    };
    std::set<std::string> missing_images;
    if (!writePackage(package, record, doc, hooks, &missing_images)) return std::nullopt;
    seen = seenOf(package, integerOf(rev).value_or(1), std::move(missing_images));
  }
  {
    Guard guard(mutex_);
    recordWriteLocked(guard, id, package, std::move(seen));
  }
  if (services_.log) {
    services_.log->append(
        "write",
        json::object{{"doc", id}, {"rev", rev ? *rev : json::value("?")}, {"nodes", census.count}});
  }
  if (services_.spotlight) {
    services_.spotlight->update(id, doc, package, searchStamp(package).value_or(""));
  }
  return package;
}

void Library::recordWriteLocked(const Guard& guard, const std::string& id, const fs::path& package,
                                std::optional<Seen> seen) {
  index_[id] = package;
  // The ledger holds where each document is; a save that leaves the package where it was
  // changes nothing there, and rewriting a ledger of thousands of entries on every keystroke's
  // save would cost more than the save itself. In a batch, documents new to the ledger are
  // added once at its end: a scan finds a package the ledger doesn't name yet, while one it
  // names in a place since left would be taken for vanished, so those are saved at once.
  // A ledger that failed to save is saved again at the next write.
  std::string& where = ledger_[id];
  if (const bool is_new = where.empty(); where != package.string() || ledger_unsaved_) {
    where = package.string();
    if (!is_new || !planner_.holdLedgerBack()) saveLedgerLocked(guard);
  }
  if (seen) rememberSeenLocked(guard, id, std::move(*seen));
  folders_.forget(package);  // written: listed again at the next scan
}

std::optional<std::string> Library::adopt(const fs::path& package) {
  std::optional<json::object> record;
  {
    auto access = FileCoordinator::shared().read(package);
    record = readRecord(package);
  }
  if (!record) return std::nullopt;
  auto id = json::findString(*record, "id");
  if (!id || !ids::isDocumentID(*id)) return std::nullopt;
  const std::string doc_id(*id);
  {
    Guard guard(mutex_);
    // A package inside the writing folder (any depth the user put it at) is taken where it is,
    // unless the library already has the document: opening a conflict copy must not make it
    // the one that is saved to.
    if (isInside(package, root_)) {
      if (!index_.contains(doc_id)) index_[doc_id] = package;
      return doc_id;
    }
    if (index_.contains(doc_id)) return doc_id;  // the library's copy stays as it is
  }
  (void)write(*record);
  return doc_id;
}

}  // namespace qs::library
