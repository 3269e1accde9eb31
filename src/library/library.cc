#include "library/library.h"

#include <glib.h>
#include <sys/stat.h>

#include <cstdio>

#include "core/digest.h"
#include "core/file_io.h"
#include "core/launch_trace.h"
#include "core/system_log.h"
#include "library/paths.h"

namespace qs::library {

namespace {

constexpr std::string_view kLedgerFile = "ledger.json";
constexpr std::string_view kPackageFoldersFile = "package-folders";

// The ledger on disk: id → package path; empty when it isn't an object of strings.
Ledger loadLedger(const fs::path& file) {
  auto ledger = json::readObjectFile(file);
  if (!ledger) return {};
  Ledger loaded;
  for (const auto& kv : *ledger) {
    if (!kv.value().is_string()) return {};
    loaded.emplace(kv.key(), kv.value().get_string());
  }
  return loaded;
}

}  // namespace

Library::Library(fs::path root, fs::path support, Services services, Start start)
    : root_(absoluteFolder(root)),
      support_(absoluteFolder(support)),
      services_(std::move(services)),
      wall_clock_(services_.wall_clock ? services_.wall_clock : &std::chrono::system_clock::now),
      root_now_(root_),
      folders_(support_ / kPackageFoldersFile) {
  (void)file_io::createFolders(root_);
  (void)file_io::createFolders(support_ / kReservedFolder);
  (void)file_io::createFolders(support_ / kCapturesFolder);
  ledger_ = loadLedger(support_ / kLedgerFile);
  start_ledger_ = ledger_;
  Guard guard(mutex_);
  switch (start) {
    case Start::kNow:
      startLocked(guard, ReadDepth::kIdentity);
      break;
    case Start::kLater:
      startLocked(guard, std::nullopt);
      break;
    case Start::kInBackground:
      // The queue stays taken from here until the start thread is done with it.
      guard.release();
      start_thread_ = std::thread([this] { startInBackground(); });
      break;
  }
}

void Library::startInBackground() {
  Guard held(mutex_, std::adopt_lock);
  try {
    if (services_.start_hold.count() > 0) mutex_.holdBack(services_.start_hold);
    launch_trace::mark("scan starts");
    startLocked(held, ReadDepth::kDocument);
    fresh_ = true;
    launch_trace::mark("scan done");
    prepareOpenLocked(held);
    if (services_.open_ahead) launch_trace::mark("open written ahead");
  } catch (const std::exception& e) {
    systemLog("the library's first scan failed: %s", e.what());
  }
}

Library::~Library() {
  mutex_.hurry();
  if (start_thread_.joinable()) start_thread_.join();
  Guard guard(mutex_);
  folders_.save();
}

void Library::startLocked(const Guard& guard, std::optional<ReadDepth> depth) {
  const bool finished_a_move = recoverMoveLocked(guard);
  folders_.load(root_);
  if (depth || finished_a_move) rescanLocked(guard, depth.value_or(ReadDepth::kIdentity));
  if (finished_a_move) {
    for (const auto& [id, package] : index_) ledger_[id] = package.string();
    saveLedgerLocked(guard);
  }
}

fs::path Library::defaultRoot() {
  const char* documents = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
  fs::path base = documents ? fs::path(documents) : fs::path(g_get_home_dir()) / "Documents";
  return base / "Quillstone";
}

fs::path Library::root() const {
  std::lock_guard lock(root_mutex_);
  return root_now_;
}

std::vector<fs::path> Library::scannedFolders() const {
  return {root_, root_ / kArchiveFolder, support_ / kReservedFolder};
}

bool Library::ledgerNamesDocument(std::string_view id) const {
  auto it = start_ledger_.find(std::string(id));
  if (it == start_ledger_.end()) return false;
  struct stat st {};
  const fs::path file = fs::path(it->second) / kDocumentFile;
  return ::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         !fs::is_symlink(fs::symlink_status(it->second));
}

std::optional<fs::path> Library::url(std::string_view id) const {
  Guard guard(mutex_);
  auto it = index_.find(std::string(id));
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

void Library::saveLedgerLocked(const Guard&) {
  json::object o;
  for (const auto& [id, path] : ledger_) o[id] = path;
  auto text = json::pretty(o);
  // A failure is not told; the next package write saves the ledger again.
  ledger_unsaved_ = !text || !file_io::writeAtomically(support_ / kLedgerFile, *text);
}

std::optional<Seen> Library::seenOf(const fs::path& package, std::int64_t rev,
                                    std::set<std::string> missing_images) {
  auto stamp = documentStamp(package);
  if (!stamp) return std::nullopt;
  std::string hash;
  if (auto bytes = readDocumentFile(package)) hash = digest::contentStamp(*bytes);
  return Seen{stamp->size,      stamp->date, std::move(hash),
              package.string(), rev,         std::move(missing_images)};
}

void Library::rememberSeenLocked(const Guard&, const std::string& id, Seen seen) {
  fresh_ = false;  // a write: the next "open" scans
  prepared_.reset();
  changes_.remember(id, std::move(seen));
}

void Library::rememberLocked(const Guard& guard, const std::string& id, const fs::path& package,
                             const json::value* rev, std::set<std::string> missing_images) {
  if (auto seen = seenOf(package, integerOf(rev).value_or(1), std::move(missing_images)))
    rememberSeenLocked(guard, id, std::move(*seen));
}

void Library::rememberReadLocked(const Guard&, const std::string& id, const fs::path& package,
                                 const DocumentText& text) {
  changes_.remember(id, Seen{text.size, text.date, text.hash, package.string(),
                             integerOf(&text.rev_value).value_or(1), text.missing_images});
}

std::map<std::string, std::string> Library::ledger() const {
  Guard guard(mutex_);
  return ledger_;
}

std::optional<Seen> Library::seen(std::string_view id) const {
  Guard guard(mutex_);
  const Seen* seen = changes_.find(id);
  if (!seen) return std::nullopt;
  return *seen;
}

std::vector<Problem> Library::problems() const {
  Guard guard(mutex_);
  return problems_;
}

Library::CheckCost Library::lastCheckCost() const {
  Guard guard(mutex_);
  return changes_.lastCost();
}

}  // namespace qs::library
