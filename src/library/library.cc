#include "library/library.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

#include "app/prefs.h"
#include "bridge/host_log.h"
#include "core/clock.h"
#include "core/digest.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/text.h"
#include "library/file_coordinator.h"
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
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.path().filename().native() < b.path().filename().native();
  });
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

std::optional<json::object> read_json_object(const fs::path& file) {
  auto text = file_io::read_file(file);
  if (!text) return std::nullopt;
  auto parsed = json::parse(*text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  return std::move(parsed->get_object());
}

// Moves a file or folder, across file systems too (copy, then remove the original).
bool move_item(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(to, ec))) return false;
  fs::rename(from, to, ec);
  if (!ec) return true;
  if (ec != std::errc::cross_device_link) return false;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove_all(to, ignored);
    return false;
  }
  fs::remove_all(from, ec);
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

std::string local_time_stamp() {
  std::time_t now = std::time(nullptr);
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

Library::Library(fs::path root, fs::path support, Services services)
    : root_(std::move(root)), support_(std::move(support)), services_(std::move(services)) {
  (void)file_io::create_folders(root_);
  (void)file_io::create_folders(support_ / kReservedFolder);
  (void)file_io::create_folders(support_ / kCapturesFolder);
  if (auto ledger = read_json_object(support_ / kLedgerFile)) {
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
  Guard guard(mutex_);
  rescan_locked(guard);
}

fs::path Library::defaultRoot() {
  const char* documents = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
  fs::path base = documents ? fs::path(documents) : fs::path(g_get_home_dir()) / "Documents";
  return base / "Quillstone";
}

fs::path Library::root() const {
  Guard guard(mutex_);
  return root_;
}

// ---- scan and open ----

ScanResult Library::scan(const std::vector<fs::path>& folders, const KnownID& known) {
  ScanResult result;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const fs::path& folder = folders[i];
    auto entries = list_sorted(folder);
    if (!entries) {
      if (i == 0)
        result.problems.push_back({spokenName(folder), std::string(kReasonFolderUnopened)});
      continue;
    }
    for (const auto& entry : *entries) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(".") && is_placeholder_name(name)) {
        // A package the sync service has not brought down yet. There is no download to ask
        // for here: the sync client fetches it on its own.
        result.problems.push_back({name.substr(1, name.size() - 1 - kPlaceholderSuffix.size()),
                                   std::string(kReasonNotDownloaded)});
        continue;
      }
      if (has_package_extension(entry.path())) {
        const std::string base = entry.path().stem().string();
        std::optional<std::string> cached = known ? known(entry.path()) : std::nullopt;
        Read read = cached ? Read{cached, {}} : readIDOrReason(entry.path());
        if (!read.id) {
          result.problems.push_back({base, read.reason});
        } else {
          result.found.emplace(*read.id, entry.path());  // the first package for an id wins
        }
        continue;
      }
      if (i != 0 || name.starts_with(".") || name == kArchiveFolder) continue;
      std::error_code ec;
      if (!entry.is_directory(ec)) continue;
      for (const auto& inner :
           list_sorted(entry.path()).value_or(std::vector<fs::directory_entry>{})) {
        const std::string inner_name = inner.path().filename().string();
        if (has_package_extension(inner.path()) || is_placeholder_name(inner_name)) {
          result.problems.push_back(
              {inner.path().stem().string(),
               "In the folder \u201c" + name +
                   "\u201d inside the writing folder, where the app doesn't look."});
        }
      }
    }
  }
  return result;
}

void Library::rescan_locked(const Guard&) {
  ScanResult result = scan({root_, root_ / kArchiveFolder, support_ / kReservedFolder});
  index_ = std::move(result.found);
  problems_ = std::move(result.problems);
}

std::vector<Problem> Library::rescan() {
  Guard guard(mutex_);
  rescan_locked(guard);
  return problems_;
}

void Library::remember_locked(const Guard&, const std::string& id, const fs::path& package,
                              const json::value* rev) {
  const fs::path file = package / kDocumentFile;
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec) return;
  const auto date = fs::last_write_time(file, ec);
  if (ec) return;
  std::int64_t r = integer_of(rev).value_or(1);
  if (auto it = last_rev_.find(id); it != last_rev_.end()) r = std::max(r, it->second);
  std::string hash;
  if (auto bytes = file_io::read_file(file)) {
    auto digest = digest::sha256(*bytes);
    hash = digest::hex(digest.data(), digest.size());
  }
  seen_[id] = Seen{size, date, std::move(hash), package.string(), r};
  last_rev_[id] = r;
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
      {
        auto access = FileCoordinator::shared().read(package);
        record = readRecord(package);
      }
      Guard guard(mutex_);
      if (record) {
        remember_locked(guard, id, package, record->if_contains("rev"));
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

json::object Library::openWorkspace() {
  auto records = allRecords();
  std::optional<json::object> meta = read_json_object(support_ / kWorkspaceFile);
  if (meta) {
    if (auto schema = whole_number(meta->if_contains("schema"));
        schema && *schema > kWorkspaceSchema) {
      return json::object{{"kind", "newer"}, {"schema", *schema}};
    }
  }

  std::map<std::string, std::size_t> rank;
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
  struct Entry {
    std::size_t rank;
    double created;
    const json::object* record;
  };
  std::vector<Entry> sorted;
  for (const auto& [id, record] : records) {
    auto r = rank.find(id);
    double created = 0;
    if (const json::object* doc = json::find_object(record, "doc")) {
      if (const json::value* c = doc->if_contains("created"))
        created = json::as_number(*c).value_or(0);
    }
    sorted.push_back(
        {r == rank.end() ? std::numeric_limits<std::size_t>::max() : r->second, created, &record});
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const Entry& a, const Entry& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    return a.created < b.created;
  });

  json::array docs;
  json::object revs;
  bool has_ordinary = false;
  for (const auto& e : sorted) {
    docs.push_back(e.record->at("doc"));
    if (auto id = json::find_string(*e.record, "id")) {
      const json::value* rev = e.record->if_contains("rev");
      revs[*id] = rev ? *rev : json::value(1);
      if (!id->starts_with("_")) has_ordinary = true;
    }
  }
  json::object state{{"docs", std::move(docs)}};
  if (meta) {
    for (const char* key : {"workspace", "groups", "ui"}) {
      if (const json::value* v = meta->if_contains(key)) state[key] = *v;
    }
  }
  if (auto pretext = read_json_object(support_ / kPretextFile)) {
    if (const json::value* p = pretext->if_contains("pretext")) state["pretext"] = *p;
  }

  std::vector<Problem> files;
  {
    Guard guard(mutex_);
    files = problems_;
    if (files.empty() && !has_ordinary) files = vanished_locked(guard);
  }
  json::array notices;
  if (!files.empty()) {
    json::array list;
    for (const auto& f : files) list.push_back(f.toJSON());
    notices.push_back(json::object{{"kind", "quarantined"},
                                   {"count", static_cast<std::int64_t>(files.size())},
                                   {"files", std::move(list)}});
  }
  return json::object{{"kind", "ready"},
                      {"state", std::move(state)},
                      {"revs", std::move(revs)},
                      {"meta", meta ? json::value(std::move(*meta)) : json::value(nullptr)},
                      {"notices", std::move(notices)}};
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
  if (auto text = json::pretty(o)) {
    (void)file_io::write_atomically(support_ / kLedgerFile, *text);
  }
}

std::optional<std::string> Library::write(const json::array& docs, const json::object* meta,
                                          const json::object* pretext) {
  std::vector<std::string> failed;
  for (const auto& entry : docs) {
    static const json::object kEmpty;
    const json::object& record = entry.is_object() ? entry.get_object() : kEmpty;
    const json::value* deleted = record.if_contains("deleted");
    const bool is_deleted = deleted && deleted->is_bool() && deleted->get_bool();
    if (!write(record) && !is_deleted)
      failed.push_back(title_for_message(record.if_contains("doc")));
  }
  for (const auto& [object, file] :
       {std::pair{meta, kWorkspaceFile}, std::pair{pretext, kPretextFile}}) {
    if (!object) continue;
    if (auto text = json::pretty(*object)) {
      (void)file_io::write_atomically(support_ / file, *text);
    }
  }
  if (failed.empty()) return std::nullopt;
  std::string titles;
  for (std::size_t i = 0; i < failed.size(); ++i) {
    if (i) titles += "\u201d, \u201c";
    titles += failed[i];
  }
  return "Couldn't write \u201c" + titles + "\u201d to Documents \u2192 Quillstone.";
}

std::optional<fs::path> Library::write(const json::object& record) {
  auto id = json::find_string(record, "id");
  if (!id || !ids::is_document_id(*id)) return std::nullopt;
  const json::value* deleted = record.if_contains("deleted");
  if (deleted && deleted->is_bool() && deleted->get_bool()) {
    Guard guard(mutex_);
    trash_locked(guard, std::string(*id));
    return std::nullopt;
  }
  const json::object* doc = json::find_object(record, "doc");
  if (!doc) return std::nullopt;
  Guard guard(mutex_);
  return write_record_locked(guard, std::string(*id), record, *doc);
}

std::optional<fs::path> Library::write_record_locked(const Guard& guard, const std::string& id,
                                                     const json::object& record,
                                                     const json::object& doc) {
  const Placement place = placement(id, doc, root_, support_);
  (void)file_io::create_folders(place.folder);

  fs::path package;
  auto current = index_.find(id);
  if (current == index_.end()) {
    package = freeURL(place.folder, place.base_name);
  } else {
    package = current->second;
    const std::string stem = package.stem().string();
    bool keeps_name = stem == place.base_name;
    if (!keeps_name && stem.size() > place.base_name.size() + 1 &&
        stem.compare(0, place.base_name.size(), place.base_name) == 0 &&
        stem[place.base_name.size()] == ' ') {
      const std::string digits = stem.substr(place.base_name.size() + 1);
      keeps_name =
          std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    }
    if (normal(package.parent_path()) != normal(place.folder) || !keeps_name) {
      const fs::path destination = freeURL(place.folder, place.base_name, package);
      if (normal(destination) != normal(package)) {
        auto access = FileCoordinator::shared().write(package, destination);
        if (move_item(package, destination)) package = destination;
      }
    }
  }
  if (!is_inside(package, place.folder)) return std::nullopt;

  const auto census = HostLog::ids(doc);
  const json::value* rev = record.if_contains("rev");
  auto access = FileCoordinator::shared().write(package);
  if (!census.repeated.empty()) {
    std::error_code ec;
    const fs::path previous = package / "previous.json";
    if (fs::exists(package / kDocumentFile, ec) && !fs::exists(previous, ec)) {
      fs::copy_file(package / kDocumentFile, previous, ec);
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
  if (!writePackage(package, record, doc, services_.package_hooks)) return std::nullopt;

  index_[id] = package;
  // The ledger holds where each document is; a save that leaves the package where it was
  // changes nothing there, and rewriting a ledger of thousands of entries on every keystroke's
  // save would cost more than the save itself.
  if (std::string& where = ledger_[id]; where != package.string()) {
    where = package.string();
    save_ledger_locked(guard);
  }
  remember_locked(guard, id, package, rev);
  if (services_.log) {
    services_.log->append(
        "write",
        json::object{{"doc", id}, {"rev", rev ? *rev : json::value("?")}, {"nodes", census.count}});
  }
  if (services_.spotlight) services_.spotlight->update(id, doc, package);
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
    // A package inside the writing folder (any depth the user put it at) is taken where it is.
    if (is_inside(package, root_)) {
      index_[doc_id] = package;
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
  const fs::path file = folder / ("Before restore " + local_time_stamp() + ".json");
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
    if (services_.trash) (void)services_.trash->moveToTrash(package);
  }
  index_.erase(id);
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

Library::MoveResult Library::moveAll(const fs::path& to) {
  Guard guard(mutex_);
  (void)file_io::create_folders(to);
  const ScanResult there = scan({to, to / kArchiveFolder});
  const fs::path old_archive = normal(root_ / kArchiveFolder);
  MoveResult result;
  for (const auto& [id, package] : index_) {
    if (id.starts_with("_")) continue;
    if (there.found.contains(id)) {
      ++result.stayed;
      continue;
    }
    const fs::path folder = normal(package.parent_path()) == old_archive ? to / kArchiveFolder : to;
    (void)file_io::create_folders(folder);
    const fs::path destination = freeURL(folder, package.stem().string());
    auto access = FileCoordinator::shared().write(package, destination);
    if (move_item(package, destination)) {
      ++result.moved;
    } else {
      ++result.stayed;
    }
  }
  root_ = to;
  rescan_locked(guard);
  for (const auto& [id, package] : index_) ledger_[id] = package.string();
  save_ledger_locked(guard);
  return result;
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
    auto envelope = read_json_object(package / kDocumentFile);
    if (!envelope) continue;
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
  const fs::path quick_look = package / "QuickLook";
  if (file_io::read_file(quick_look / "Preview.html") == page) return false;

  auto access = FileCoordinator::shared().write(package);
  // The folders keep their dates, so a refreshed page doesn't look like an edit to file
  // managers, backup tools and the outside-change check.
  std::error_code ec;
  const auto package_date = fs::last_write_time(package, ec);
  const bool had_package_date = !ec;
  const auto quick_look_date = fs::last_write_time(quick_look, ec);
  const bool had_quick_look_date = !ec;
  std::string error;
  const bool ok = file_io::create_folders(quick_look, &error) &&
                  file_io::write_atomically(quick_look / "Preview.html", page,
                                            file_io::Durability::kFileOnly, &error);
  if (had_package_date) fs::last_write_time(package, package_date, ec);
  if (had_quick_look_date) fs::last_write_time(quick_look, quick_look_date, ec);
  if (!ok) {
    std::fprintf(stderr, "Quillstone: couldn't refresh the Quick Look page of %s: %s\n",
                 package.c_str(), error.c_str());
  }
  return ok;
}

void Library::reindexSpotlight(WorkerPool* background) {
  auto upkeep = [this] {
    if (services_.spotlight) services_.spotlight->reindex(documents());
    (void)refreshPreviewsIfNeeded(false);
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
  CheckCost cost;
  struct Stamp {
    std::uintmax_t size;
    fs::file_time_type date;
  };
  auto stamp_of = [](const fs::path& package) -> std::optional<Stamp> {
    std::error_code ec;
    const fs::path file = package / kDocumentFile;
    const auto size = fs::file_size(file, ec);
    if (ec) return std::nullopt;
    const auto date = fs::last_write_time(file, ec);
    if (ec) return std::nullopt;
    return Stamp{size, date};
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
  ScanResult result = scan({root_, root_ / kArchiveFolder, support_ / kReservedFolder}, known);
  index_ = std::move(result.found);
  problems_ = std::move(result.problems);

  const std::int64_t now = clock::now_ms();
  json::array changed, removed;
  bool ledger_changed = false;
  for (const auto& [id, package] : index_) {
    if (id.starts_with("_")) continue;
    auto stamp = stamp_of(package);
    if (!stamp) continue;
    auto seen = seen_.find(id);
    if (seen != seen_.end() && seen->second.size == stamp->size &&
        seen->second.date == stamp->date) {
      if (seen->second.path != package.string()) {  // only moved
        seen->second.path = package.string();
        ledger_[id] = package.string();
        ledger_changed = true;
      }
      continue;
    }
    std::string hash;
    ++cost.hashed;
    if (auto bytes = file_io::read_file(package / kDocumentFile)) {
      auto digest = digest::sha256(*bytes);
      hash = digest::hex(digest.data(), digest.size());
    }
    if (seen != seen_.end() && !hash.empty() && seen->second.hash == hash) {  // touched only
      seen->second = Seen{stamp->size, stamp->date, hash, package.string(), seen->second.rev};
      continue;
    }
    std::optional<json::object> record;
    {
      auto access = FileCoordinator::shared().read(package);
      record = readRecord(package);
    }
    ++cost.records_read;
    if (!record) continue;  // half written or damaged: the next change looks again
    const auto last = last_rev_.find(id);
    const std::int64_t raised = std::max((last == last_rev_.end() ? 0 : last->second) + 1,
                                         integer_of(record->if_contains("rev")).value_or(1));
    (*record)["rev"] = raised;
    const bool was_known = seen != seen_.end();
    seen_[id] = Seen{stamp->size, stamp->date, hash, package.string(), raised};
    last_rev_[id] = raised;
    ledger_[id] = package.string();
    ledger_changed = true;
    if (const json::object* doc = json::find_object(*record, "doc")) {
      if (services_.spotlight) services_.spotlight->update(id, *doc, package);
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
      const fs::path placeholder =
          package.parent_path() / ("." + package.filename().string() + ".icloud");
      std::error_code exists_ec;
      if (fs::exists(fs::symlink_status(package, exists_ec)) ||
          fs::exists(fs::symlink_status(placeholder, exists_ec))) {
        continue;
      }
      gone.push_back(id);
    }
    for (const auto& id : gone) {
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
