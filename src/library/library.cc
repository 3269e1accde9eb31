#include "library/library.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <semaphore>

#include "core/clock.h"
#include "core/digest.h"
#include "core/file_io.h"
#include "core/host_log.h"
#include "core/ids.h"
#include "core/launch_trace.h"
#include "core/text.h"
#include "library/document_read.h"
#include "library/file_coordinator.h"
#include "library/sync_names.h"
#include "library/versions.h"
#include "platform/prefs.h"
#include "platform/trash.h"
#include "preview/preview.h"
#include "preview/search_index.h"

namespace qs::library {

namespace {

constexpr std::string_view kLedgerFile = "ledger.json";
constexpr std::string_view kWorkspaceFile = "workspace.json";
constexpr std::string_view kPretextFile = "pretext.json";
constexpr std::string_view kRestorePointsFolder = "restore-points";
constexpr std::string_view kPreviewFormatKey = "previewFormat";
constexpr std::string_view kMoveJournalFile = "move.json";
constexpr std::string_view kPackageFoldersFile = "package-folders";
// The threads a batch's packages are written on.
constexpr std::size_t kBatchThreads = 3;

std::atomic<bool> g_copy_every_move{false};

// A folder's entries sorted by name, so that which of two packages with one id wins does not
// depend on the file system's listing order. None when the folder can't be listed.
std::optional<std::vector<fs::directory_entry>> list_sorted(const fs::path& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    entries.push_back(*it);
  }
  // By name: what follows the last "/" (no path is made for a comparison).
  auto name = [](const fs::directory_entry& e) {
    const std::string_view p = e.path().native();
    return p.substr(p.rfind('/') + 1);
  };
  std::sort(entries.begin(), entries.end(),
            [&](const auto& a, const auto& b) { return name(a) < name(b); });
  return entries;
}

bool has_package_extension(const fs::path& p) {
  return p.extension() == kPackageExtension;
}

bool is_placeholder_name(std::string_view name) {
  return name.ends_with(kPlaceholderSuffix);
}

fs::path normal(const fs::path& p) {
  fs::path n = p.lexically_normal();
  if (!n.has_filename() && n.has_parent_path() && n != n.root_path()) n = n.parent_path();
  return n;
}

bool is_inside(const fs::path& path, const fs::path& folder) {
  const std::string p = normal(path).string(), f = normal(folder).string();
  return p.size() > f.size() && p.compare(0, f.size(), f) == 0 && p[f.size()] == '/';
}

// A JSON number as an integer, truncating a fraction; none for anything else.
std::optional<std::int64_t> integer_of(const json::value* v) {
  if (!v) return std::nullopt;
  if (v->is_int64()) return v->get_int64();
  if (v->is_uint64()) {
    return static_cast<std::int64_t>(
        std::min<std::uint64_t>(v->get_uint64(), std::numeric_limits<std::int64_t>::max()));
  }
  if (v->is_double()) {
    const double d = v->get_double();
    if (!std::isfinite(d)) return std::nullopt;
    if (d >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

// An integer in the page's sense: an integer number, or a double without a fraction.
std::optional<std::int64_t> whole_number(const json::value* v) {
  if (v && v->is_double() && std::trunc(v->get_double()) != v->get_double()) return std::nullopt;
  return integer_of(v);
}

// A path made absolute (relative to the current folder) and without a trailing slash, so that
// it means the same place to every later run.
fs::path absolute_folder(const fs::path& p) {
  std::error_code ec;
  fs::path a = fs::absolute(p, ec);
  return normal(ec ? p : a);
}

bool is_real_folder(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void sync_parent(const fs::path& p) {
  if (auto folder = file_io::Folder::open(p.parent_path(), file_io::Links::kFollow)) {
    (void)folder->sync();
  }
}

// Copies the regular files and folders of `from` into the new folder `name` of `into`, each file
// synced, then each folder. Links and anything else inside are not copied.
bool copy_tree(const file_io::Folder& from, const file_io::Folder& into, const std::string& name) {
  auto to = into.sub(name, file_io::Folder::Create::kYes);
  if (!to) return false;
  for (const auto& entry : from.names().value_or(std::vector<std::string>{})) {
    if (file_io::is_temporary_name(entry)) continue;
    auto st = from.status(entry);
    if (!st) continue;
    if (S_ISDIR(st->st_mode)) {
      auto sub = from.sub(entry);
      if (!sub || !copy_tree(*sub, *to, entry)) return false;
    } else if (S_ISREG(st->st_mode)) {
      auto bytes = from.read(entry);
      if (!bytes || !to->write_atomically(entry, *bytes, file_io::Durability::kFileOnly)) {
        return false;
      }
    }
  }
  return to->sync();
}

// Removes a package: renamed aside first, so that a crash midway leaves a temporary folder (which
// a later scan removes) and never a half-deleted package.
void remove_package(const fs::path& package) {
  const fs::path aside =
      package.parent_path() / file_io::temporary_name(package.filename().string());
  std::error_code ignored;
  if (file_io::rename_no_replace(package, aside)) {
    sync_parent(package);
    fs::remove_all(aside, ignored);
  } else {
    fs::remove_all(package, ignored);
  }
}

// Moves a package to `to`, where nothing may be yet. Across file systems the package is copied
// whole under a temporary name, synced, renamed into place, and only then removed at `from`.
bool move_package(const fs::path& from, const fs::path& to) {
  if (!g_copy_every_move) {
    if (file_io::rename_no_replace(from, to)) {
      sync_parent(to);
      if (from.parent_path() != to.parent_path()) sync_parent(from);
      return true;
    }
    if (errno != EXDEV) return false;
  }
  auto source = file_io::Folder::open(from, file_io::Links::kRefuse);
  auto destination = file_io::Folder::open(to.parent_path(), file_io::Links::kFollow);
  if (!source || !destination) return false;
  const std::string temporary = file_io::temporary_name(to.filename().string());
  std::error_code ignored;
  if (!copy_tree(*source, *destination, temporary) ||
      !file_io::rename_no_replace(destination->path() / temporary, to)) {
    fs::remove_all(destination->path() / temporary, ignored);
    return false;
  }
  (void)destination->sync();
  remove_package(from);
  return true;
}

std::string title_for_message(const json::value* doc) {
  static const json::object kEmpty;
  const json::object& d = doc && doc->is_object() ? doc->get_object() : kEmpty;
  std::string title =
      text::trim_whitespace_and_newlines(json::find_string(d, "title").value_or(""));
  if (title.empty()) title = Preview::firstWords(d).value_or("Untitled");
  return title;
}

std::string local_time_stamp(std::chrono::system_clock::time_point when) {
  std::time_t now = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H.%M.%S", &tm);
  return buf;
}

}  // namespace

// File names need not be UTF-8 here; the page only takes text that is.
json::object Problem::toJSON() const {
  return json::object{{"name", text::make_valid_utf8(name)}, {"reason", reason}};
}

Library::Library(fs::path root, fs::path support, Services services, Start start)
    : root_(absolute_folder(root)),
      support_(absolute_folder(support)),
      services_(std::move(services)),
      wall_clock_(services_.wall_clock ? services_.wall_clock : &std::chrono::system_clock::now),
      root_now_(root_),
      folders_(support_ / kPackageFoldersFile) {
  (void)file_io::create_folders(root_);
  (void)file_io::create_folders(support_ / kReservedFolder);
  (void)file_io::create_folders(support_ / kCapturesFolder);
  if (auto ledger = json::readObjectFile(support_ / kLedgerFile)) {
    std::map<std::string, std::string> loaded;
    bool all_strings = true;
    for (const auto& kv : *ledger) {
      if (!kv.value().is_string()) {
        all_strings = false;
        break;
      }
      loaded.emplace(kv.key(), kv.value().get_string());
    }
    if (all_strings) ledger_ = std::move(loaded);
  }
  start_ledger_ = ledger_;
  Guard guard(mutex_);
  switch (start) {
    case Start::kNow:
      start_locked(guard, ReadDepth::kIdentity);
      break;
    case Start::kLater:
      start_locked(guard, std::nullopt);
      break;
    case Start::kInBackground:
      // The queue stays taken from here until the start thread is done with it.
      guard.release();
      start_thread_ = std::thread([this] {
        Guard held(mutex_, std::adopt_lock);
        try {
          if (services_.start_hold.count() > 0) mutex_.hold_back(services_.start_hold);
          launch_trace::mark("scan starts");
          start_locked(held, ReadDepth::kDocument);
          fresh_ = true;
          launch_trace::mark("scan done");
          prepare_open_locked(held);
          if (services_.open_ahead) launch_trace::mark("open written ahead");
        } catch (const std::exception& e) {
          std::fprintf(stderr, "Quillstone: the library's first scan failed: %s\n", e.what());
        }
      });
      break;
  }
}

Library::~Library() {
  mutex_.hurry();
  if (start_thread_.joinable()) start_thread_.join();
  Guard guard(mutex_);
  folders_.save();
}

void Library::start_locked(const Guard& guard, std::optional<ReadDepth> depth) {
  const bool finished_a_move = recover_move_locked(guard);
  folders_.load(root_);
  if (depth || finished_a_move) rescan_locked(guard, depth.value_or(ReadDepth::kIdentity));
  if (finished_a_move) {
    for (const auto& [id, package] : index_) ledger_[id] = package.string();
    save_ledger_locked(guard);
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

bool Library::ledgerNamesDocument(std::string_view id) const {
  auto it = start_ledger_.find(std::string(id));
  if (it == start_ledger_.end()) return false;
  struct stat st {};
  const fs::path file = fs::path(it->second) / kDocumentFile;
  return ::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         !fs::is_symlink(fs::symlink_status(it->second));
}

// ---- scan and open ----

namespace {

// Scans in three steps: the folders are listed (problems found there are kept in their place
// among the packages), every package found is identified at once (so that the reads can share
// the cores), and the packages are then taken in the order met, as one pass would.
using Identify = std::function<std::vector<Read>(const std::vector<fs::path>& packages)>;
// Whether a conflict copy, the only package holding `id`, stands for the document.
using CopyStandsIn = std::function<bool(const std::string& id, const fs::path& copy)>;

// Whether a package whose "document.json" can't be read may still be arriving (not reported yet).
using StillArriving = std::function<bool(const fs::path& package)>;

// How a package stands among others holding its document, from its "document.json".
Standing standing_of(const fs::path& package) {
  auto bytes = readDocumentFile(package);
  auto parsed = bytes ? json::parse(*bytes) : std::nullopt;
  return parsed && parsed->is_object() ? standingOf(parsed->get_object()) : Standing{};
}

ScanResult scan_with(const std::vector<fs::path>& folders, const Library::Ledger* ledger,
                     const Identify& identify, const CopyStandsIn& copy_stands_in = {},
                     const StillArriving& still_arriving = {}) {
  ScanResult result;
  struct Met {
    std::optional<Problem> problem;  // else the package packages[slot]
    std::size_t slot = 0;
    bool in_writing_folder = false;
    bool is_copy = false;
  };
  std::vector<Met> met;
  std::vector<fs::path> packages;
  auto problem = [&](Problem p) { met.push_back({std::move(p)}); };
  const auto stale_before = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const fs::path& folder = folders[i];
    // The writing folder itself may be a link and is followed; below it nothing is.
    const bool in_writing_folder = i == 0 || is_inside(folder, folders[0]);
    std::error_code ec;
    if (i > 0 && in_writing_folder && fs::is_symlink(fs::symlink_status(folder, ec))) {
      problem({folder.filename().string(), std::string(kReasonLink)});
      continue;
    }
    auto entries = list_sorted(folder);
    if (!entries) {
      if (i == 0) problem({spokenName(folder), std::string(kReasonFolderUnopened)});
      continue;
    }
    for (const auto& entry : *entries) {
      const std::string name = entry.path().filename().string();
      // The entry's own type, a link not followed: the listing's where it gives one (no stat).
      const bool is_link = entry.is_symlink(ec);
      if (file_io::is_temporary_name(name)) {
        // Left by a crash mid-write; an hour on, nothing of ours is still writing it.
        if (entry.last_write_time(ec) < stale_before && !ec) {
          fs::remove_all(entry.path(), ec);
        }
        continue;
      }
      if (name.starts_with(".") && is_placeholder_name(name)) {
        // A package the sync service has not brought down yet. There is no download to ask
        // for here: the sync client fetches it on its own.
        problem({name.substr(1, name.size() - 1 - kPlaceholderSuffix.size()),
                 std::string(kReasonNotDownloaded)});
        continue;
      }
      if (has_package_extension(entry.path())) {
        const std::string base = entry.path().stem().string();
        if (in_writing_folder && is_link) {
          problem({base, std::string(kReasonLink)});
          continue;
        }
        met.push_back({std::nullopt, packages.size(), in_writing_folder, isConflictCopyName(name)});
        packages.push_back(entry.path());
        continue;
      }
      if (isSyncToolFile(name)) continue;
      if (i != 0 || name.starts_with(".") || name == kArchiveFolder) continue;
      if (is_link || !entry.is_directory(ec)) continue;  // files, and links, aren't looked into
      for (const auto& inner :
           list_sorted(entry.path()).value_or(std::vector<fs::directory_entry>{})) {
        const std::string inner_name = inner.path().filename().string();
        if (has_package_extension(inner.path()) || is_placeholder_name(inner_name)) {
          problem({inner.path().stem().string(),
                   "In the folder \u201c" + name +
                       "\u201d inside the writing folder, where the app doesn't look."});
        }
      }
    }
  }

  const std::vector<Read> reads = identify(packages);
  struct Candidate {
    fs::path package;
    bool is_copy;
    bool in_writing_folder;
  };
  std::map<std::string, std::vector<Candidate>> candidates;
  std::vector<std::string> ids_met;  // so duplicates are reported in a stable order
  std::vector<std::pair<std::size_t, std::optional<FolderStamp>>> scanned;
  scanned.reserve(packages.size());
  for (auto& m : met) {
    if (m.problem) {
      result.problems.push_back(std::move(*m.problem));
      continue;
    }
    const fs::path& package = packages[m.slot];
    const Read& read = reads[m.slot];
    const std::string base = package.stem().string();
    if (m.in_writing_folder) scanned.emplace_back(m.slot, read.folder);
    if (!read.id) {
      if (read.reason == kReasonUnreadable && still_arriving && still_arriving(package)) continue;
      result.problems.push_back({base, read.reason});
    } else if (!ids::is_document_id(*read.id)) {
      result.problems.push_back({base, std::string(kReasonInvalidID)});
    } else if (m.in_writing_folder && read.id->starts_with("_")) {
      result.problems.push_back({base, std::string(kReasonReservedID)});
    } else {
      auto& list = candidates[*read.id];
      if (list.empty()) ids_met.push_back(*read.id);
      list.push_back({package, m.is_copy, m.in_writing_folder});
    }
  }

  for (const auto& id : ids_met) {
    const auto& list = candidates.at(id);
    std::optional<std::size_t> winner;
    std::vector<std::size_t> originals;
    for (std::size_t k = 0; k < list.size(); ++k) {
      if (!list[k].is_copy) originals.push_back(k);
    }
    if (originals.size() == 1) {
      winner = originals[0];
    } else if (originals.size() > 1) {
      // Decided from the files alone, as every computer sharing them decides.
      std::vector<Standing> standings;
      for (std::size_t k : originals) standings.push_back(standing_of(list[k].package));
      std::size_t best = 0;
      for (std::size_t i = 1; i < originals.size(); ++i) {
        if (keepsTheID(standings[i], list[originals[i]].package.filename().native(),
                       standings[best], list[originals[best]].package.filename().native())) {
          best = i;
        }
      }
      winner = originals[best];
    } else {
      // Only copies: the one that stood in for its document keeps doing so.
      const auto named = ledger ? ledger->find(id) : Library::Ledger::const_iterator();
      auto is_named = [&](const Candidate& c) {
        return ledger && named != ledger->end() &&
               (named->second == c.package.native() ||
                normal(fs::path(named->second)) == normal(c.package));
      };
      if (auto it = std::find_if(list.begin(), list.end(), is_named); it != list.end()) {
        winner = static_cast<std::size_t>(it - list.begin());
      } else if (auto copy = std::find_if(list.begin(), list.end(),
                                          [&](const Candidate& c) {
                                            return !copy_stands_in || copy_stands_in(id, c.package);
                                          });
                 copy != list.end()) {
        winner = static_cast<std::size_t>(copy - list.begin());
      }
    }
    if (!winner) {
      for (const auto& c : list) {
        result.problems.push_back({c.package.stem().string(), std::string(kReasonCopyOfGone)});
      }
      continue;
    }
    const Candidate& kept = list[*winner];
    result.found.emplace(id, kept.package);
    for (std::size_t k = 0; k < list.size(); ++k) {
      if (k == *winner) continue;
      if (list[k].in_writing_folder && kept.in_writing_folder) {
        result.duplicates.push_back({id, list[k].package, kept.package, result.problems.size()});
      }
      result.problems.push_back({list[k].package.stem().string(),
                                 "Holds the same document as \u201c" +
                                     kept.package.stem().string() +
                                     "\u201d, which the app uses; this copy is left as it is."});
    }
  }
  result.packages.reserve(scanned.size());
  for (auto& [slot, folder] : scanned)
    result.packages.push_back({std::move(packages[slot]), folder});
  return result;
}

// Packages are read for their id unless `known` names it.
Identify identify_with(const Library::KnownID& known) {
  return [&known](const std::vector<fs::path>& packages) {
    std::vector<Read> reads;
    reads.reserve(packages.size());
    for (const auto& package : packages) {
      std::optional<std::string> cached = known ? known(package) : std::nullopt;
      reads.push_back(cached ? Read{cached, {}} : readIDOrReason(package));
    }
    return reads;
  };
}

// While the library runs, a conflict copy left alone stands for its document only where it
// already did (a library moved since keeps its names), and never for a document the library
// has at another package (gone this moment) or saw deleted: the copy would bring back what was
// deleted, or an old version over a newer one. A copy alone at the start is the document.
CopyStandsIn copies_standing_in(const std::map<std::string, fs::path>& in_use,
                                const std::set<std::string>& deleted) {
  return [&in_use, &deleted](const std::string& id, const fs::path& copy) {
    if (auto it = in_use.find(id); it != in_use.end()) {
      return it->second.filename() == copy.filename();
    }
    return !deleted.contains(id);
  };
}

}  // namespace

ScanResult Library::scan(const std::vector<fs::path>& folders, const KnownID& known,
                         const Ledger* ledger) {
  return scan_with(folders, ledger, identify_with(known));
}

void Library::rescan_locked(const Guard& guard, ReadDepth depth) {
  recheck_at_.reset();
  {
    std::lock_guard lock(root_mutex_);
    root_now_ = root_;
  }
  std::map<std::string, PackageRead> reads;
  ScanResult result = scan_with(
      {root_, root_ / kArchiveFolder, support_ / kReservedFolder}, &ledger_,
      [&](const std::vector<fs::path>& packages) {
        std::vector<const PackageRead*> earlier(packages.size(), nullptr);
        for (std::size_t i = 0; i < packages.size(); ++i) {
          auto it = reads_.find(packages[i].string());
          if (it != reads_.end()) earlier[i] = &it->second;
        }
        std::vector<PackageRead> now = readPackages(packages, depth, earlier);
        std::vector<Read> identities;
        identities.reserve(now.size());
        for (std::size_t i = 0; i < now.size(); ++i) {
          identities.push_back(now[i].identity);
          reads.insert_or_assign(packages[i].string(), std::move(now[i]));
        }
        return identities;
      },
      copies_standing_in(index_, deleted_),
      [this](const fs::path& package) { return stillArriving_locked(package); });
  findVersions_locked(guard, result);
  reads_ = std::move(reads);  // only the packages there now
  index_ = std::move(result.found);
  problems_ = std::move(result.problems);
  fresh_ = false;
  prepared_.reset();  // it no longer serves
}

std::vector<Problem> Library::rescan() {
  Guard guard(mutex_);
  // Packages read since and unchanged are not read again: after the start's scan this only
  // looks at each file's stamp.
  rescan_locked(guard);
  std::vector<Problem> problems = problems_;
  for (const auto& f : pending_.files) {
    problems.push_back({f.package.stem().string(),
                        "Holds \u201c" + f.name +
                            "\u201d, another version a sync tool set aside; the app keeps it as a "
                            "document of its own when it next looks at the writing folder."});
  }
  return problems;
}

std::optional<Seen> Library::seen_of(const fs::path& package, std::int64_t rev,
                                     std::set<std::string> missing_images) {
  auto stamp = documentStamp(package);
  if (!stamp) return std::nullopt;
  std::string hash;
  if (auto bytes = readDocumentFile(package)) hash = digest::contentStamp(*bytes);
  return Seen{stamp->size,      stamp->date, std::move(hash),
              package.string(), rev,         std::move(missing_images)};
}

void Library::remember_seen_locked(const Guard&, const std::string& id, Seen seen) {
  fresh_ = false;  // a write: the next "open" scans
  prepared_.reset();
  if (auto it = last_rev_.find(id); it != last_rev_.end())
    seen.rev = std::max(seen.rev, it->second);
  last_rev_[id] = seen.rev;
  seen_[id] = std::move(seen);
}

void Library::remember_locked(const Guard& guard, const std::string& id, const fs::path& package,
                              const json::value* rev, std::set<std::string> missing_images) {
  if (auto seen = seen_of(package, integer_of(rev).value_or(1), std::move(missing_images)))
    remember_seen_locked(guard, id, std::move(*seen));
}

std::map<std::string, json::object> Library::allRecords() {
  std::map<std::string, fs::path> index;
  {
    Guard guard(mutex_);
    rescan_locked(guard);
    index = index_;
  }
  std::map<std::string, json::object> records;
  for (auto [id, package] : index) {
    // A write from another window may rename, move or trash the package between the scan and
    // this read; the index then says where it is, and the document is read there.
    for (int attempt = 0;; ++attempt) {
      std::optional<json::object> record;
      std::set<std::string> missing_images;
      {
        auto access = FileCoordinator::shared().read(package);
        record = readRecord(package, &missing_images);
      }
      Guard guard(mutex_);
      if (record) {
        remember_locked(guard, id, package, record->if_contains("rev"), std::move(missing_images));
        records.emplace(id, std::move(*record));
        break;
      }
      auto now = index_.find(id);
      if (now == index_.end()) break;  // trashed meanwhile
      if (attempt < 3) {               // moved, perhaps there and back again: read where it is now
        package = now->second;
        continue;
      }
      problems_.push_back({package.stem().string(), std::string(kReasonUnreadable)});
      break;
    }
  }
  return records;
}

std::vector<Problem> Library::vanished_locked(const Guard& guard) {
  const fs::path root = normal(root_), archive = normal(root_ / kArchiveFolder);
  std::vector<std::pair<std::string, std::string>> gone;  // (path, id)
  for (const auto& [id, path] : ledger_) {
    if (id.starts_with("_")) continue;
    const fs::path folder = normal(fs::path(path).parent_path());
    if (folder != root && folder != archive) continue;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) continue;
    gone.emplace_back(path, id);
  }
  if (gone.empty()) return {};
  for (const auto& [path, id] : gone) ledger_.erase(id);
  save_ledger_locked(guard);
  std::sort(gone.begin(), gone.end());
  std::vector<Problem> out;
  for (const auto& [path, id] : gone) {
    out.push_back({fs::path(path).stem().string(), std::string(kReasonVanished)});
  }
  return out;
}

void Library::remember_read_locked(const Guard&, const std::string& id, const fs::path& package,
                                   const DocumentText& text) {
  std::int64_t r = integer_of(&text.rev_value).value_or(1);
  if (auto it = last_rev_.find(id); it != last_rev_.end()) r = std::max(r, it->second);
  seen_[id] = Seen{text.size, text.date, text.hash, package.string(), r, text.missing_images};
  last_rev_[id] = r;
}

namespace {

std::optional<FileStamp> stamp_of_file(const fs::path& file) {
  return fileStamp(AT_FDCWD, file.c_str());
}

}  // namespace

void Library::prepare_open_locked(Guard& guard) {
  if (!fresh_) return;
  const auto& ahead = services_.open_ahead;
  if (!ahead) {
    for (const auto& [id, package] : index_) {
      auto it = reads_.find(package.string());
      if (it != reads_.end() && it->second.text) {
        remember_read_locked(guard, id, package, *it->second.text);
      }
    }
    return;
  }
  Prepared prepared{ahead->prefix, index_, problems_, {}, {}, {}};
  prepared.workspace = stamp_of_file(support_ / kWorkspaceFile);
  prepared.pretext = stamp_of_file(support_ / kPretextFile);
  answer_open(prepared.text, ahead->form, guard, &prepared.unreadable);
  prepared_ = std::move(prepared);
}

void Library::openWorkspaceText(std::string& out, json::NonAscii form) {
  Guard guard(mutex_);
  if (prepared_) {
    Prepared prepared = std::move(*prepared_);
    prepared_.reset();
    // Whatever changed the library since (a write, a trash, an outside change the watch found,
    // a scan) changed one of these.
    const auto& ahead = services_.open_ahead;
    if (fresh_ && ahead && ahead->form == form && out == ahead->prefix &&
        prepared.index == index_ && prepared.problems == problems_ &&
        prepared.workspace == stamp_of_file(support_ / kWorkspaceFile) &&
        prepared.pretext == stamp_of_file(support_ / kPretextFile)) {
      fresh_ = false;
      problems_.insert(problems_.end(), prepared.unreadable.begin(), prepared.unreadable.end());
      untold_.clear();  // the answer written ahead told them
      out = std::move(prepared.text);
      return;
    }
  }
  answer_open(out, form, guard);
}

void Library::answer_open(std::string& out, json::NonAscii form, Guard& guard,
                          std::vector<Problem>* ahead) {
  struct Entry {
    std::size_t rank;
    double created;
    std::string id;
    std::shared_ptr<const DocumentText> text;
  };
  std::vector<Entry> sorted;
  std::vector<Problem> files;
  std::vector<Problem> versions;
  bool has_ordinary = false;
  {
    // The start's scan serves when every package it found was read whole and is still there.
    bool use_start = fresh_;
    for (const auto& [id, package] : index_) {
      if (!use_start) break;
      auto it = reads_.find(package.string());
      use_start = it != reads_.end() && it->second.depth == ReadDepth::kDocument;
    }
    if (!use_start) rescan_locked(guard, ReadDepth::kDocument);
    std::vector<Problem> version_problems;
    if (bringInVersions_locked(guard, version_problems)) rescan_locked(guard, ReadDepth::kDocument);
    problems_.insert(problems_.end(), version_problems.begin(), version_problems.end());
    if (!ahead) fresh_ = false;
    std::vector<Problem> unreadable;
    // Each document as read; pictures a document lacks are looked for once, and the documents
    // that got some back are read again.
    for (bool looked = false;; looked = true) {
      sorted.clear();
      unreadable.clear();
      has_ordinary = false;
      std::vector<fs::path> lacking;
      sorted.reserve(index_.size());
      for (const auto& [id, package] : index_) {
        auto it = reads_.find(package.string());
        if (it == reads_.end() || !it->second.text) {
          unreadable.push_back({package.stem().string(), std::string(kReasonUnreadable)});
          continue;
        }
        if (!it->second.text->missing_images.empty() && !id.starts_with("_")) {
          lacking.push_back(package);
        }
        remember_read_locked(guard, id, package, *it->second.text);
        sorted.push_back({0, it->second.text->created, id, it->second.text});
        if (!id.starts_with("_")) has_ordinary = true;
      }
      bool healed = false;
      for (const auto& package : looked ? std::vector<fs::path>{} : lacking) {
        healed |= healImages_locked(guard, package);
      }
      if (!healed) break;
      rescan_locked(guard, ReadDepth::kDocument);
    }
    folders_.save();
    (ahead ? *ahead : problems_)
        .insert((ahead ? *ahead : problems_).end(), unreadable.begin(), unreadable.end());
    files = problems_;
    if (ahead) files.insert(files.end(), ahead->begin(), ahead->end());
    versions = untold_;
    if (!ahead) {
      untold_.clear();  // told now
      guard.unlock();
    }
  }

  std::optional<json::object> meta = json::readObjectFile(support_ / kWorkspaceFile);
  if (meta) {
    if (auto schema = whole_number(meta->if_contains("schema"));
        schema && *schema > kWorkspaceSchema) {
      json::append_compact(out, json::object{{"kind", "newer"}, {"schema", *schema}}, form);
      return;
    }
  }

  std::map<std::string, std::size_t, std::less<>> rank;
  if (meta) {
    if (const json::array* order = json::find_array(*meta, "order")) {
      const bool all_strings =
          std::all_of(order->begin(), order->end(), [](const auto& v) { return v.is_string(); });
      if (all_strings) {
        for (std::size_t i = 0; i < order->size(); ++i) {
          rank.emplace(std::string((*order)[i].get_string()), i);  // the first occurrence counts
        }
      }
    }
  }
  for (auto& e : sorted) {
    auto r = rank.find(e.id);
    e.rank = r == rank.end() ? std::numeric_limits<std::size_t>::max() : r->second;
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const Entry& a, const Entry& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    return a.created < b.created;
  });

  if (files.empty() && !has_ordinary) {
    if (!guard.owns_lock()) guard.lock();
    files = vanished_locked(guard);
    if (!ahead) guard.unlock();
  }

  // The members in the order openWorkspace() gives them. What follows the documents is
  // written first, so that the answer's buffer is taken once, at its final size.
  std::string tail = "]";
  auto value = [&](const json::value& v) {
    if (!json::append_compact(tail, v, form)) tail.append("null");
  };
  auto member = [&](std::string_view key, const json::value& v) {
    tail.append(",\"").append(key).append("\":");
    value(v);
  };
  if (meta) {
    for (const char* key : {"workspace", "groups", "ui"}) {
      if (const json::value* v = meta->if_contains(key)) member(key, *v);
    }
  }
  if (auto pretext = json::readObjectFile(support_ / kPretextFile)) {
    if (const json::value* p = pretext->if_contains("pretext")) member("pretext", *p);
  }
  tail.append(R"(},"revs":{)");
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i > 0) tail.push_back(',');
    // Ids are letters, digits, "_" and "-": nothing to escape.
    tail.append("\"").append(sorted[i].id).append("\":");
    if (form == json::NonAscii::kEscaped) {
      value(sorted[i].text->rev_value);
    } else {
      tail.append(sorted[i].text->rev);
    }
  }
  tail.append(R"(},"meta":)");
  if (meta) {
    value(*meta);
  } else {
    tail.append("null");
  }
  tail.append(R"(,"notices":)");
  json::array notices;
  if (!files.empty()) {
    json::array list;
    for (const auto& f : files) list.push_back(f.toJSON());
    notices.push_back(json::object{{"kind", "quarantined"},
                                   {"count", static_cast<std::int64_t>(files.size())},
                                   {"files", std::move(list)}});
  }
  // A kind of notice added on purpose: the versions this computer brought in since the last
  // "open", which the page shows as it shows the files it couldn't use.
  if (!versions.empty()) {
    json::array list;
    for (const auto& v : versions) list.push_back(v.toJSON());
    notices.push_back(json::object{{"kind", "versions"},
                                   {"count", static_cast<std::int64_t>(versions.size())},
                                   {"files", std::move(list)}});
  }
  value(notices);
  tail.push_back('}');

  constexpr std::string_view head = R"({"kind":"ready","state":{"docs":[)";
  const bool escaped = form == json::NonAscii::kEscaped;
  std::size_t size = head.size() + sorted.size() + tail.size();
  for (const auto& e : sorted) size += escaped ? e.text->ascii_size : e.text->doc.size();
  out.reserve(out.size() + size);
  out.append(head);
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i > 0) out.push_back(',');
    const DocumentText& text = *sorted[i].text;
    if (escaped && !text.ascii) {
      json::append_ascii_form(out, text.doc);
    } else {
      out.append(text.doc);
    }
  }
  out.append(tail);
}

json::object Library::openWorkspace() {
  std::string text;
  openWorkspaceText(text);
  // The answer nests each document three levels deeper than its file.
  auto parsed = json::parse(text, 4096);
  if (!parsed || !parsed->is_object()) return {};
  return std::move(parsed->get_object());
}

std::optional<fs::path> Library::url(std::string_view id) const {
  Guard guard(mutex_);
  auto it = index_.find(std::string(id));
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

// ---- writes ----

void Library::save_ledger_locked(const Guard&) {
  json::object o;
  for (const auto& [id, path] : ledger_) o[id] = path;
  auto text = json::pretty(o);
  // A failure is not told; the next package write saves the ledger again.
  ledger_unsaved_ = !text || !file_io::write_atomically(support_ / kLedgerFile, *text);
}

std::optional<std::string> Library::write(const json::array& docs, const json::object* meta,
                                          const json::object* pretext) {
  const Batch batch(*this);
  std::vector<char> failed(docs.size(), 0);
  {
    // Several records are written on a few threads, so that one package's fsyncs wait beside
    // another's drawing. The places are chosen here, one record after another in the batch's
    // order, as one write after another would choose them (a place chosen counts as taken); the
    // files go on together. A folder new packages went into is synced once, at the end, before
    // the batch counts as written and the ledger names them.
    std::mutex folders_lock;
    std::set<fs::path> folders;
    const std::function<void(const fs::path&)> sync_later = [&](const fs::path& folder) {
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
      const json::value* deleted = record.if_contains("deleted");
      const bool is_deleted = deleted && deleted->is_bool() && deleted->get_bool();
      const auto id = json::find_string(record, "id");
      const json::object* doc = json::find_object(record, "doc");
      if (!pool || is_deleted || !id || !ids::is_document_id(*id) || !doc ||
          json::find_string(*doc, "id") != *id) {
        if (!write(record) && !is_deleted) failed[i] = 1;
        continue;
      }
      std::string key(*id);
      auto place = claim_place(key, *doc);
      if (!place) {
        failed[i] = 1;
        continue;
      }
      room.acquire();
      pool->async([this, &record, doc, &failed, &room, &sync_later, i, key = std::move(key),
                   package = std::move(*place)]() mutable {
        try {
          if (!write_claimed(key, record, *doc, std::move(package), sync_later)) failed[i] = 1;
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
      if (!file_io::sync_folder(folder, &error))
        std::fprintf(stderr, "Quillstone: %s\n", error.c_str());
    }
  }
  for (const auto& [object, file] :
       {std::pair{meta, kWorkspaceFile}, std::pair{pretext, kPretextFile}}) {
    if (!object) continue;
    if (auto text = json::pretty(*object)) {
      (void)file_io::write_atomically(support_ / file, *text);
    }
  }
  std::string titles;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    if (!failed[i]) continue;
    if (!titles.empty()) titles += "\u201d, \u201c";
    titles +=
        title_for_message(docs[i].is_object() ? docs[i].get_object().if_contains("doc") : nullptr);
  }
  if (titles.empty()) return std::nullopt;
  return "Couldn't write \u201c" + titles + "\u201d to Documents \u2192 Quillstone.";
}

std::optional<fs::path> Library::write(const json::object& record) {
  auto id = json::find_string(record, "id");
  if (!id || !ids::is_document_id(*id)) return std::nullopt;
  const json::value* deleted = record.if_contains("deleted");
  if (deleted && deleted->is_bool() && deleted->get_bool()) {
    Guard guard(mutex_);
    const std::string key(*id);
    settled_.wait(guard, [&] { return !writing_.contains(key); });
    trash_locked(guard, key);
    return std::nullopt;
  }
  const json::object* doc = json::find_object(record, "doc");
  // The package is read back under its doc's id: a record for another id would be stored
  // under that one.
  if (!doc || json::find_string(*doc, "id") != *id) return std::nullopt;
  return write_record(std::string(*id), record, *doc);
}

Library::Batch::Batch(Library& library) : library_(library) {
  Guard guard(library_.mutex_);
  ++library_.batches_;
}

Library::Batch::~Batch() {
  Guard guard(library_.mutex_);
  if (--library_.batches_ == 0 && library_.ledger_behind_) {
    library_.ledger_behind_ = false;
    library_.save_ledger_locked(guard);
  }
}

std::optional<fs::path> Library::place_locked(Guard& guard, const std::string& id,
                                              const json::object& doc) {
  const Placement place = placement(id, doc, root_, support_);
  // The Archive is written only as a real folder: never through a link another program put there.
  if (is_inside(place.folder, root_)) {
    std::error_code ec;
    const auto status = fs::symlink_status(place.folder, ec);
    if (fs::exists(status) && !fs::is_directory(status)) return std::nullopt;
  }
  (void)file_io::create_folders(place.folder);
  // A name another write in flight has chosen is as taken as one on disk.
  auto claimed = [this](const fs::path& p) { return claimed_.contains(p.lexically_normal()); };

  fs::path package;
  auto current = index_.find(id);
  if (current == index_.end()) {
    package = freeURL(place.folder, place.base_name, std::nullopt, claimed);
  } else {
    package = current->second;
    const std::string stem = package.stem().string();
    // Named for the base, or for it and a number ("Notes 2"); a package made from shared files
    // keeps the name it was given there, and one named by an earlier version of the program
    // keeps its name while its title is unchanged.
    auto named_for = [&stem](std::string_view base) {
      if (stem == base) return true;
      if (stem.size() <= base.size() + 1 || stem.compare(0, base.size(), base) != 0 ||
          stem[base.size()] != ' ') {
        return false;
      }
      return std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(base.size()) + 1, stem.end(),
                         [](char c) { return c >= '0' && c <= '9'; });
    };
    bool keeps_name = named_for(place.base_name) || isMadeHereName(stem, doc, id);
    if (!keeps_name && !id.starts_with("_")) {
      if (auto earlier = earlierFileName(doc)) keeps_name = named_for(*earlier);
    }
    if (normal(package.parent_path()) != normal(place.folder) || !keeps_name) {
      const fs::path destination = freeURL(place.folder, place.base_name, package, claimed);
      if (normal(destination) != normal(package)) {
        auto access = FileCoordinator::shared().write(package, destination);
        if (move_package(package, destination)) {
          // Whatever happens to the write now, the index and ledger say where the package is.
          folders_.forget(package);
          package = destination;
          index_[id] = package;
          ledger_[id] = package.string();
          save_ledger_locked(guard);
          if (auto seen = seen_.find(id); seen != seen_.end()) seen->second.path = package.string();
        }
      }
    }
  }
  if (!is_inside(package, place.folder)) return std::nullopt;
  return package;
}

std::optional<fs::path> Library::claim_place(const std::string& id, const json::object& doc) {
  Guard guard(mutex_);
  settled_.wait(guard, [&] { return !writing_.contains(id); });
  auto place = place_locked(guard, id, doc);
  if (!place) return std::nullopt;
  writing_.insert(id);
  claimed_.insert(place->lexically_normal());
  return place;
}

void Library::release_place(const std::string& id, const fs::path& package) {
  {
    Guard guard(mutex_);
    writing_.erase(id);
    claimed_.erase(package.lexically_normal());
  }
  settled_.notify_all();
}

std::optional<fs::path> Library::write_record(
    const std::string& id, const json::object& record, const json::object& doc,
    const std::function<void(const fs::path&)>& sync_later) {
  // Under the lock: wait for another write of this document, then choose (and claim) its place.
  auto place = claim_place(id, doc);
  if (!place) return std::nullopt;
  return write_claimed(id, record, doc, std::move(*place), sync_later);
}

std::optional<fs::path> Library::write_claimed(
    const std::string& id, const json::object& record, const json::object& doc, fs::path package,
    const std::function<void(const fs::path&)>& sync_later) {
  // Whatever happens below, the document and its place are given back.
  struct Release {
    Library& library;
    const std::string& id;
    const fs::path package;  // a copy: the one below is moved out into the answer
    ~Release() { library.release_place(id, package); }
  } release{*this, id, package};

  // Outside the lock, holding the package alone: the files, the log, what was written.
  const auto census = HostLog::ids(doc);
  const json::value* rev = record.if_contains("rev");
  std::optional<Seen> seen;
  {
    auto access = FileCoordinator::shared().write(package);
    if (!census.repeated.empty()) {
      std::error_code ec;
      const fs::path previous = package / "previous.json";
      if (!fs::exists(fs::symlink_status(previous, ec))) {
        if (auto bytes = readDocumentFile(package)) {
          (void)file_io::write_atomically(previous, *bytes, file_io::Durability::kFileOnly);
        }
      }
      if (services_.log) {
        std::string repeated;
        for (const auto& r : census.repeated) repeated += (repeated.empty() ? "" : ",") + r;
        services_.log->append("write-repeated-ids",
                              json::object{{"doc", id},
                                           {"rev", rev ? *rev : json::value("?")},
                                           {"nodes", census.count},
                                           {"repeated", repeated},
                                           {"kept", fs::exists(previous, ec)}});
      }
    }
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
    hooks.sync_folder_later = sync_later;
    const LastKnown known = lastKnown(id, package);
    hooks.replaced = [&](std::string_view bytes, const struct stat& status) {
      keepReplacedText(id, package, doc, known, bytes, status);
    };
    std::set<std::string> missing_images;
    if (!writePackage(package, record, doc, hooks, &missing_images)) return std::nullopt;
    seen = seen_of(package, integer_of(rev).value_or(1), std::move(missing_images));
  }
  // Under the lock again: only the library's own records.
  {
    Guard guard(mutex_);
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
      if (is_new && batches_ > 0) {
        ledger_behind_ = true;
      } else {
        save_ledger_locked(guard);
      }
    }
    if (seen) remember_seen_locked(guard, id, std::move(*seen));
    folders_.forget(package);  // written: listed again at the next scan
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

std::optional<std::string> Library::adopt(const fs::path& package) {
  std::optional<json::object> record;
  {
    auto access = FileCoordinator::shared().read(package);
    record = readRecord(package);
  }
  if (!record) return std::nullopt;
  auto id = json::find_string(*record, "id");
  if (!id || !ids::is_document_id(*id)) return std::nullopt;
  const std::string doc_id(*id);
  {
    Guard guard(mutex_);
    // A package inside the writing folder (any depth the user put it at) is taken where it is,
    // unless the library already has the document: opening a conflict copy must not make it
    // the one that is saved to.
    if (is_inside(package, root_)) {
      if (!index_.contains(doc_id)) index_[doc_id] = package;
      return doc_id;
    }
    if (index_.contains(doc_id)) return doc_id;  // the library's copy stays as it is
  }
  (void)write(*record);
  return doc_id;
}

// ---- restore points, trash, reveal ----

bool Library::keepRestorePoint(const json::object& backup) {
  if (json::find_string(backup, "format") != "quillstone/backup") return false;
  auto text = json::compact(backup);
  if (!text) return false;
  const fs::path folder = support_ / kRestorePointsFolder;
  (void)file_io::create_folders(folder);
  const fs::path file = folder / ("Before restore " + local_time_stamp(wall_clock_()) + ".json");
  if (!file_io::write_atomically(file, *text)) return false;

  std::vector<fs::path> points;
  for (const auto& entry : list_sorted(folder).value_or(std::vector<fs::directory_entry>{})) {
    if (entry.path().extension() == ".json") points.push_back(entry.path());
  }
  std::reverse(points.begin(), points.end());  // greatest, that is newest, first
  for (std::size_t i = kRestorePointsKept; i < points.size(); ++i) {
    if (services_.trash) (void)services_.trash->moveToTrash(points[i]);
  }
  return true;
}

void Library::trash_locked(const Guard& guard, const std::string& id) {
  auto it = index_.find(id);
  if (it == index_.end()) return;
  const fs::path package = it->second;
  {
    auto access = FileCoordinator::shared().write(package);
    std::string error;
    if (services_.trash && !services_.trash->moveToTrash(package, &error)) {
      // The page is answered as ever; the package stays where it is, and the next scan finds
      // it again. Both logs say so, so the document coming back is explained.
      std::fprintf(stderr,
                   "Quillstone: couldn't move %s to the Trash: %s; the document stays in place\n",
                   package.c_str(), error.c_str());
      if (services_.log) {
        services_.log->append("trash-failed",
                              json::object{{"doc", id}, {"error", error}, {"stayed", "in place"}});
      }
    }
  }
  index_.erase(id);
  deleted_.insert(id);
  ledger_.erase(id);
  save_ledger_locked(guard);
  seen_.erase(id);
  if (services_.log) services_.log->append("trash", json::object{{"doc", id}});
  if (services_.spotlight) services_.spotlight->remove(id);
}

bool Library::is_library_folder(const fs::path& folder) const {
  const fs::path f = normal(folder);
  return f == normal(root_) || f == normal(root_ / kArchiveFolder);
}

std::optional<fs::path> Library::revealablePackage(std::string_view id) const {
  if (!ids::is_document_id(id) || id.starts_with("_")) return std::nullopt;
  Guard guard(mutex_);
  auto it = index_.find(std::string(id));
  if (it == index_.end()) return std::nullopt;
  const fs::path& package = it->second;
  std::error_code ec;
  if (!is_library_folder(package.parent_path()) || !has_package_extension(package) ||
      !fs::exists(package, ec)) {
    return std::nullopt;
  }
  return package;
}

// ---- moving the library ----

void Library::copyEveryMoveForTesting(bool copy) {
  g_copy_every_move = copy;
}

std::optional<std::string> Library::moveProblem(const fs::path& to) const {
  Guard guard(mutex_);
  return move_problem_locked(guard, to);
}

std::optional<std::string> Library::move_problem_locked(const Guard&, const fs::path& to) const {
  std::error_code ec;
  const fs::path target = absolute_folder(to);
  if (fs::exists(target, ec) && !fs::is_directory(target, ec)) {
    return "That isn't a folder. Choose a folder.";
  }
  // Compared as the file system resolves them, so that a link or "a/../b" can't hide the
  // writing folder.
  const fs::path p = normal(fs::weakly_canonical(target, ec));
  const fs::path c = normal(fs::weakly_canonical(root_, ec));
  const fs::path support = normal(fs::weakly_canonical(support_, ec));
  if (p == c) return "That's already your writing folder.";
  if (is_inside(p, c)) return "That folder is inside your writing folder. Choose one outside it.";
  if (is_inside(c, p)) {
    return "Your writing folder is inside that one. Choose a folder of its own, or make one with "
           "New Folder.";
  }
  if (p == support || is_inside(p, support)) {
    return "That folder is where Quillstone keeps its own things. Choose another.";
  }
  return std::nullopt;
}

Library::MoveResult Library::moveAll(const fs::path& destination) {
  Guard guard(mutex_);
  settled_.wait(guard, [this] { return writing_.empty(); });
  MoveResult result;
  const fs::path from = root_;
  try {
    move_all_locked(guard, destination, result);
    return result;
  } catch (const std::exception& e) {
    result.failed = e.what();
  } catch (...) {
  }
  if (result.failed.empty()) result.failed = "an unexpected error";
  settle_failed_move_locked(guard, from, result);
  return result;
}

void Library::move_all_locked(const Guard& guard, const fs::path& destination, MoveResult& result) {
  const fs::path to = absolute_folder(destination);
  if (auto problem = move_problem_locked(guard, to)) {
    result.refused = *problem;
    return;
  }
  std::string error;
  if (!file_io::create_folders(to, &error)) {
    result.refused = error;
    return;
  }
  // Another program may have put a document here since the last look: it moves too, rather
  // than being left behind in a folder no longer watched, and so does what a sync tool set aside.
  rescan_locked(guard);
  std::vector<Problem> unused;
  if (bringInVersions_locked(guard, unused, Waiting::kNow)) rescan_locked(guard);
  const ScanResult there = scan({to, to / kArchiveFolder});
  const fs::path old_archive = normal(root_ / kArchiveFolder);

  // The whole plan goes into the journal before anything moves.
  std::vector<std::pair<fs::path, fs::path>> plan;
  std::set<fs::path> taken;
  json::array moves;
  for (const auto& [id, package] : index_) {
    if (id.starts_with("_")) continue;
    if (there.found.contains(id)) {
      ++result.stayed;
      continue;
    }
    const fs::path folder = normal(package.parent_path()) == old_archive ? to / kArchiveFolder : to;
    fs::path target;
    for (unsigned long n = 1;; ++n) {
      std::string base = package.stem().string();
      if (n > 1) base.append(" ").append(std::to_string(n));
      target = freeURL(folder, base);
      if (!taken.contains(target)) break;
    }
    taken.insert(target);
    plan.emplace_back(package, target);
    moves.push_back(json::array{package.string(), target.string()});
  }
  const json::object journal{{"from", root_.string()}, {"to", to.string()}, {"moves", moves}};
  if (!plan.empty()) {
    auto text = json::pretty(journal);
    if (!text || !file_io::write_atomically(support_ / kMoveJournalFile, *text,
                                            file_io::Durability::kSurvivesCrash, &error)) {
      result.refused = "couldn't prepare the move: " + error;
      return;
    }
  }
  for (const auto& [from, target] : plan) {
    (void)file_io::create_folders(target.parent_path());
    auto access = FileCoordinator::shared().write(from, target);
    if (is_real_folder(target.parent_path()) && move_package(from, target)) {
      ++result.moved;
    } else {
      ++result.stayed;
    }
  }
  root_ = to;
  folders_.load(root_);
  rescan_locked(guard);
  for (const auto& [id, package] : index_) ledger_[id] = package.string();
  save_ledger_locked(guard);
  std::error_code ignored;
  fs::remove(support_ / kMoveJournalFile, ignored);
}

// A move cut short by an error settles as a start after a crash would: by its journal, undone
// while the library was still on the old folder, finished once it was on the new one. Undone,
// every document stayed.
void Library::settle_failed_move_locked(const Guard& guard, const fs::path& from,
                                        MoveResult& result) {
  std::fprintf(stderr, "Quillstone: moving the library stopped: %s\n", result.failed.c_str());
  try {
    (void)recover_move_locked(guard);
    rescan_locked(guard);
    for (const auto& [id, package] : index_) ledger_[id] = package.string();
    save_ledger_locked(guard);
    if (root_ == from) {
      result.moved = 0;
      result.stayed =
          static_cast<int>(std::count_if(index_.begin(), index_.end(), [](const auto& entry) {
            return !entry.first.starts_with("_");
          }));
    }
  } catch (const std::exception& e) {
    // What the journal still holds is settled at the next start.
    std::fprintf(stderr, "Quillstone: settling the move stopped too: %s\n", e.what());
  } catch (...) {
  }
}

bool Library::recover_move_locked(const Guard&) {
  auto journal = json::readObjectFile(support_ / kMoveJournalFile);
  if (!journal) return false;
  const fs::path from(json::find_string(*journal, "from").value_or(""));
  const fs::path to(json::find_string(*journal, "to").value_or(""));
  const json::array* moves = json::find_array(*journal, "moves");
  // Started on the new folder: finish the move. Started on the old one: undo it, as the old
  // folder is still the one in use. Started anywhere else: leave both alone.
  const bool forward = normal(root_) == normal(to);
  if (!moves || (!forward && normal(root_) != normal(from))) return false;
  for (const auto& move : *moves) {
    if (!move.is_array() || move.as_array().size() != 2 || !move.at(0).is_string() ||
        !move.at(1).is_string()) {
      continue;
    }
    const fs::path source(std::string(move.at(0).as_string()));
    const fs::path target(std::string(move.at(1).as_string()));
    const fs::path& here = forward ? source : target;  // where a package may still be to move
    const fs::path& there = forward ? target : source;
    if (!is_real_folder(here)) continue;
    if (!is_real_folder(there)) {
      (void)file_io::create_folders(there.parent_path());
      (void)move_package(here, there);
    } else if (auto a = readDocumentFile(here), b = readDocumentFile(there); a && b && *a == *b) {
      remove_package(here);  // the copy made before the crash, whole in both places
    }
  }
  std::error_code ignored;
  fs::remove(support_ / kMoveJournalFile, ignored);
  return forward;
}

// ---- upkeep ----

std::map<std::string, std::pair<json::object, fs::path>> Library::documents() const {
  std::map<std::string, fs::path> index;
  {
    Guard guard(mutex_);
    index = index_;
  }
  std::map<std::string, std::pair<json::object, fs::path>> out;
  for (const auto& [id, package] : index) {
    auto text = readDocumentFile(package);
    auto parsed = text ? json::parse(*text) : std::nullopt;
    if (!parsed || !parsed->is_object()) continue;
    const json::object* envelope = &parsed->get_object();
    if (const json::object* doc = json::find_object(*envelope, "doc")) {
      out.emplace(id, std::make_pair(*doc, package));
    }
  }
  return out;
}

int Library::refreshPreviewsIfNeeded(bool force) {
  if (!force && services_.prefs) {
    if (services_.prefs->getInteger(kPreviewFormatKey).value_or(0) > 1) return 0;
  }
  std::map<std::string, fs::path> index;
  {
    Guard guard(mutex_);
    index = index_;
  }
  int count = 0;
  for (const auto& [id, package] : index) {
    if (id.starts_with("_")) continue;
    if (refreshPreview(package)) ++count;
  }
  if (services_.prefs) (void)services_.prefs->set(kPreviewFormatKey, kPreviewFormat);
  return count;
}

bool Library::refreshPreview(const fs::path& package) {
  std::optional<json::object> record;
  {
    auto access = FileCoordinator::shared().read(package);
    record = readRecord(package);
  }
  if (!record) return false;
  const json::object* doc = json::find_object(*record, "doc");
  if (!doc) return false;
  const std::string page = Preview(*doc).html();
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  if (!folder) return false;
  auto current = folder->sub("QuickLook");
  if (current && current->read("Preview.html") == page) return false;

  auto access = FileCoordinator::shared().write(package);
  // The folders keep their dates, so a refreshed page doesn't look like an edit to file
  // managers, backup tools and the outside-change check.
  const fs::path quick_look = package / "QuickLook";
  std::error_code ec;
  const auto package_date = fs::last_write_time(package, ec);
  const bool had_package_date = !ec;
  const auto quick_look_date = fs::last_write_time(quick_look, ec);
  const bool had_quick_look_date = !ec && current;
  std::string error;
  // Never through a link: a "QuickLook" that isn't a real folder of the package is left alone.
  auto target = folder->sub("QuickLook", file_io::Folder::Create::kYes, &error);
  const bool ok = target && target->write_atomically("Preview.html", page,
                                                     file_io::Durability::kFileOnly, &error);
  if (had_package_date) fs::last_write_time(package, package_date, ec);
  if (had_quick_look_date) fs::last_write_time(quick_look, quick_look_date, ec);
  if (!ok) {
    std::fprintf(stderr, "Quillstone: couldn't refresh the Quick Look page of %s: %s\n",
                 package.c_str(), error.c_str());
  }
  return ok;
}

std::optional<std::string> searchStamp(const fs::path& package) {
  struct stat st {};
  const fs::path file = package / std::string(kDocumentFile);
  if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return package.string() + '\n' + std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) +
         ':' + std::to_string(st.st_size) + ':' + std::to_string(st.st_mtim.tv_sec) + '.' +
         std::to_string(st.st_mtim.tv_nsec);
}

std::size_t Library::updateSearchIndex() {
  SearchIndex* spotlight = services_.spotlight;
  if (!spotlight) return 0;
  const std::map<std::string, std::string> indexed = spotlight->stamps();
  std::map<std::string, fs::path> index;
  {
    Guard guard(mutex_);
    index = index_;
  }
  // Read in bounded groups, so that a first launch on a big library doesn't hold every
  // document at once.
  constexpr std::size_t kGroup = 256;
  std::size_t read = 0;
  std::vector<SearchIndex::Change> changed;
  for (const auto& [id, package] : index) {
    if (id.starts_with("_")) continue;
    const std::optional<std::string> stamp = searchStamp(package);
    if (!stamp) continue;  // gone or not a file now: the outside-change check deals with it
    const auto known = indexed.find(id);
    const std::string previous = known == indexed.end() ? std::string() : known->second;
    if (known != indexed.end() && previous == *stamp) continue;
    std::optional<std::string> text;
    {
      auto access = FileCoordinator::shared().read(package);
      text = readDocumentFile(package);
    }
    ++read;
    auto parsed = text ? json::parse(*text) : std::nullopt;
    const json::object* doc =
        parsed && parsed->is_object() ? json::find_object(parsed->get_object(), "doc") : nullptr;
    if (!doc) continue;
    changed.push_back({id, *doc, package, *stamp, previous});
    if (changed.size() == kGroup) spotlight->refresh(std::exchange(changed, {}), {});
  }
  std::vector<SearchIndex::Change> removed;
  for (const auto& [id, stamp] : indexed) {
    if (!index.contains(id) || id.starts_with("_")) removed.push_back({id, {}, {}, {}, stamp});
  }
  spotlight->refresh(std::move(changed), std::move(removed));
  return read;
}

void Library::reindexSpotlight(WorkerPool* background) {
  auto upkeep = [this] {
    launch_trace::mark("upkeep starts");
    (void)updateSearchIndex();
    launch_trace::mark("search index updated");
    (void)refreshPreviewsIfNeeded(false);
    launch_trace::mark("upkeep done");
  };
  if (background) {
    background->async(upkeep);
  } else {
    upkeep();
  }
}

// ---- changes made outside the app ----

json::array Library::externalChanges() {
  Guard guard(mutex_);
  // A write in flight has changed its files but not yet what the library saw of them.
  settled_.wait(guard, [this] { return writing_.empty(); });
  CheckCost cost;
  auto stamp_of = [](const fs::path& package) { return documentStamp(package); };
  // A document saved while a sync tool hadn't brought all its images yet: is one there now?
  auto image_arrived = [](const Seen& entry) {
    for (const auto& name : entry.missing_images) {
      std::error_code ec;
      if (fs::is_regular_file(fs::symlink_status(fs::path(entry.path) / "images" / name, ec))) {
        return true;
      }
    }
    return false;
  };

  // Packages seen unchanged at the same place are not read again for their id.
  std::map<std::string, std::string> id_at;  // package path → id
  for (const auto& [id, entry] : seen_) id_at.emplace(entry.path, id);
  KnownID known = [&](const fs::path& package) -> std::optional<std::string> {
    auto it = id_at.find(package.string());
    if (it == id_at.end()) {
      ++cost.identities_read;
      return std::nullopt;
    }
    const Seen& entry = seen_.at(it->second);
    auto stamp = stamp_of(package);
    if (!stamp || stamp->size != entry.size || stamp->date != entry.date) {
      ++cost.identities_read;
      return std::nullopt;
    }
    return it->second;
  };
  auto scan = [&] {
    recheck_at_.reset();
    ScanResult result =
        scan_with({root_, root_ / kArchiveFolder, support_ / kReservedFolder}, &ledger_,
                  identify_with(known), copies_standing_in(index_, deleted_),
                  [this](const fs::path& package) { return stillArriving_locked(package); });
    findVersions_locked(guard, result);
    index_ = std::move(result.found);
    problems_ = std::move(result.problems);
  };
  scan();
  // What a sync tool set aside is brought in, and what that wrote is then found as new.
  std::vector<Problem> version_problems;
  if (bringInVersions_locked(guard, version_problems)) scan();
  problems_.insert(problems_.end(), version_problems.begin(), version_problems.end());

  const std::int64_t now = clock::now_ms();
  json::array changed, removed;
  bool ledger_changed = false;
  for (const auto& [id, package] : index_) {
    if (id.starts_with("_")) continue;
    auto stamp = stamp_of(package);
    if (!stamp) continue;
    auto seen = seen_.find(id);
    const bool arrived = seen != seen_.end() && image_arrived(seen->second);
    if (seen != seen_.end() && seen->second.size == stamp->size &&
        seen->second.date == stamp->date && !arrived) {
      if (seen->second.path != package.string()) {  // only moved
        seen->second.path = package.string();
        ledger_[id] = package.string();
        ledger_changed = true;
        // The search index names the package, so it follows; a rename is rare enough to read
        // the document for it.
        if (services_.spotlight) {
          std::optional<json::object> record;
          {
            auto access = FileCoordinator::shared().read(package);
            record = readRecord(package);
          }
          ++cost.records_read;
          if (const json::object* doc = record ? json::find_object(*record, "doc") : nullptr) {
            services_.spotlight->update(id, *doc, package, searchStamp(package).value_or(""));
          }
        }
      }
      continue;
    }
    std::string hash;
    ++cost.hashed;
    if (auto bytes = readDocumentFile(package)) hash = digest::contentStamp(*bytes);
    if (seen != seen_.end() && !hash.empty() && seen->second.hash == hash && !arrived) {
      seen->second =
          Seen{stamp->size,      stamp->date,      hash,
               package.string(), seen->second.rev, seen->second.missing_images};  // touched only
      continue;
    }
    std::optional<json::object> record;
    std::set<std::string> missing_images;
    for (bool healed = false;;) {
      {
        auto access = FileCoordinator::shared().read(package);
        record = readRecord(package, &missing_images);
      }
      if (!record || missing_images.empty() || healed || !healImages_locked(guard, package)) break;
      healed = true;  // its pictures are back: read with them
    }
    ++cost.records_read;
    if (!record) continue;  // half written or damaged: the next change looks again
    const auto last = last_rev_.find(id);
    const std::int64_t raised = std::max((last == last_rev_.end() ? 0 : last->second) + 1,
                                         integer_of(record->if_contains("rev")).value_or(1));
    (*record)["rev"] = raised;
    const bool was_known = seen != seen_.end();
    seen_[id] =
        Seen{stamp->size, stamp->date, hash, package.string(), raised, std::move(missing_images)};
    last_rev_[id] = raised;
    ledger_[id] = package.string();
    ledger_changed = true;
    if (const json::object* doc = json::find_object(*record, "doc")) {
      if (services_.spotlight) {
        services_.spotlight->update(id, *doc, package, searchStamp(package).value_or(""));
      }
      if (services_.log) {
        services_.log->append("outside-change",
                              json::object{{"doc", id},
                                           {"rev", raised},
                                           {"nodes", HostLog::ids(*doc).count},
                                           {"was", was_known ? "changed" : "new"}});
      }
    }
    changed.push_back(std::move(*record));
  }

  // Removals only when the folder itself can be listed: an unmounted or unreadable folder
  // must not look like every document deleted.
  std::error_code ec;
  fs::directory_iterator probe(root_, ec);
  if (!ec) {
    std::vector<std::string> gone;
    for (const auto& [id, entry] : seen_) {
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
    for (const auto& id : gone) {
      deleted_.insert(id);
      const std::int64_t before = last_rev_.contains(id) ? last_rev_[id] : seen_[id].rev;
      const std::int64_t raised = before + 1;
      seen_.erase(id);
      last_rev_[id] = raised;
      if (services_.spotlight) services_.spotlight->remove(id);
      if (services_.log) {
        services_.log->append("outside-removed", json::object{{"doc", id}, {"rev", raised}});
      }
      removed.push_back(json::object{
          {"id", id}, {"rev", raised}, {"updated", now}, {"deleted", true}, {"deletedAt", now}});
    }
  }
  if (ledger_changed) save_ledger_locked(guard);
  if (!changed.empty()) fresh_ = false;  // the start's reads no longer all hold
  last_check_ = cost;
  for (auto& r : removed) changed.push_back(std::move(r));
  return changed;
}

Library::CheckCost Library::lastCheckCost() const {
  Guard guard(mutex_);
  return last_check_;
}

// ---- state ----

std::map<std::string, std::string> Library::ledger() const {
  Guard guard(mutex_);
  return ledger_;
}

std::optional<Seen> Library::seen(std::string_view id) const {
  Guard guard(mutex_);
  auto it = seen_.find(std::string(id));
  if (it == seen_.end()) return std::nullopt;
  return it->second;
}

std::vector<Problem> Library::problems() const {
  Guard guard(mutex_);
  return problems_;
}

}  // namespace qs::library
