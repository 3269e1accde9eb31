// Upkeep outside the writes: the previews other programs show, and the search index, brought up
// to date with the packages as they are.
#include <sys/stat.h>

#include <cstdio>

#include "core/file_io.h"
#include "core/launch_trace.h"
#include "core/system_log.h"
#include "library/file_coordinator.h"
#include "library/library.h"
#include "platform/prefs.h"
#include "preview/preview.h"
#include "preview/search_index.h"

namespace qs::library {

namespace {

constexpr std::string_view kPreviewFormatKey = "previewFormat";

}  // namespace

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
    if (const json::object* doc = json::findObject(*envelope, "doc")) {
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
  const json::object* doc = json::findObject(*record, "doc");
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
  const bool ok = target && target->writeAtomically("Preview.html", page,
                                                    file_io::Durability::kFileOnly, &error);
  if (had_package_date) fs::last_write_time(package, package_date, ec);
  if (had_quick_look_date) fs::last_write_time(quick_look, quick_look_date, ec);
  if (!ok) {
    systemLog("couldn't refresh the Quick Look page of %s: %s", package.c_str(), error.c_str());
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
        parsed && parsed->is_object() ? json::findObject(parsed->get_object(), "doc") : nullptr;
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

}  // namespace qs::library
