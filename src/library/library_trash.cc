// Restore points kept before a backup is restored, documents the page deleted moved to the Trash,
// and the packages the file manager may show.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "core/file_io.h"
#include "core/host_log.h"
#include "core/ids.h"
#include "core/system_log.h"
#include "library/file_coordinator.h"
#include "library/library.h"
#include "library/paths.h"
#include "platform/trash.h"
#include "preview/search_index.h"

namespace qs::library {

namespace {

constexpr std::string_view kRestorePointsFolder = "restore-points";

std::string localTimeStamp(std::chrono::system_clock::time_point when) {
  std::time_t now = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H.%M.%S", &tm);
  return buf;
}

}  // namespace

bool Library::keepRestorePoint(const json::object& backup) {
  if (json::findString(backup, "format") != "quillstone/backup") return false;
  auto text = json::compact(backup);
  if (!text) return false;
  const fs::path folder = support_ / kRestorePointsFolder;
  (void)file_io::createFolders(folder);
  const fs::path file = folder / ("Before restore " + localTimeStamp(wall_clock_()) + ".json");
  if (!file_io::writeAtomically(file, *text)) return false;

  std::vector<fs::path> points;
  for (const auto& entry : listSorted(folder).value_or(std::vector<fs::directory_entry>{})) {
    if (entry.path().extension() == ".json") points.push_back(entry.path());
  }
  std::reverse(points.begin(), points.end());  // greatest, that is newest, first
  for (std::size_t i = kRestorePointsKept; i < points.size(); ++i) {
    if (services_.trash) (void)services_.trash->moveToTrash(points[i]);
  }
  return true;
}

void Library::trashLocked(const Guard& guard, const std::string& id) {
  auto it = index_.find(id);
  if (it == index_.end()) return;
  const fs::path package = it->second;
  {
    auto access = FileCoordinator::shared().write(package);
    std::string error;
    if (services_.trash && !services_.trash->moveToTrash(package, &error)) {
      // The page is answered as ever; the package stays where it is, and the next scan finds
      // it again. Both logs say so, so the document coming back is explained.
      systemLog("couldn't move %s to the Trash: %s; the document stays in place", package.c_str(),
                error.c_str());
      if (services_.log) {
        services_.log->append("trash-failed",
                              json::object{{"doc", id}, {"error", error}, {"stayed", "in place"}});
      }
    }
  }
  index_.erase(id);
  deleted_.insert(id);
  ledger_.erase(id);
  saveLedgerLocked(guard);
  changes_.forget(id);
  if (services_.log) services_.log->append("trash", json::object{{"doc", id}});
  if (services_.spotlight) services_.spotlight->remove(id);
}

bool Library::isLibraryFolder(const fs::path& folder) const {
  const fs::path f = normalPath(folder);
  return f == normalPath(root_) || f == normalPath(root_ / kArchiveFolder);
}

std::optional<fs::path> Library::revealablePackage(std::string_view id) const {
  if (!ids::isDocumentID(id) || id.starts_with("_")) return std::nullopt;
  Guard guard(mutex_);
  auto it = index_.find(std::string(id));
  if (it == index_.end()) return std::nullopt;
  const fs::path& package = it->second;
  std::error_code ec;
  if (!isLibraryFolder(package.parent_path()) || !hasPackageExtension(package) ||
      !fs::exists(package, ec)) {
    return std::nullopt;
  }
  return package;
}

}  // namespace qs::library
