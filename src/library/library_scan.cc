// The library's scans: the first at its start, a rescan before each answer that needs the
// folders as they are now, and the reads of every record. The scan itself is scan.cc.
#include "library/file_coordinator.h"
#include "library/library.h"

namespace qs::library {

ScanResult Library::scan(const std::vector<fs::path>& folders, const KnownID& known,
                         const Ledger* ledger) {
  return scanFolders(folders, ledger, ScanHooks{identifyWith(known), {}, {}});
}

ScanHooks Library::scanHooksLocked(const Guard&, ScanHooks::Identify identify) {
  return ScanHooks{std::move(identify), copiesStandingIn(index_, deleted_),
                   [this](const fs::path& package) { return stillArrivingLocked(package); }};
}

void Library::takeScanLocked(const Guard& guard, ScanResult result) {
  findVersionsLocked(guard, result);
  index_ = std::move(result.found);
  problems_ = std::move(result.problems);
}

void Library::rescanLocked(const Guard& guard, ReadDepth depth) {
  recheck_at_.reset();
  {
    std::lock_guard lock(root_mutex_);
    root_now_ = root_;
  }
  std::map<std::string, PackageRead> reads;
  auto identify = [&](const std::vector<fs::path>& packages) {
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
  };
  takeScanLocked(guard, scanFolders(scannedFolders(), &ledger_, scanHooksLocked(guard, identify)));
  reads_ = std::move(reads);  // only the packages there now
  fresh_ = false;
  prepared_.reset();  // it no longer serves
}

std::vector<Problem> Library::rescan() {
  Guard guard(mutex_);
  // Packages read since and unchanged are not read again: after the start's scan this only
  // looks at each file's stamp.
  rescanLocked(guard);
  std::vector<Problem> problems = problems_;
  for (const auto& f : pending_.files) {
    problems.push_back({f.package.stem().string(),
                        "Holds \u201c" + f.name +
                            "\u201d, another version a sync tool set aside; the app keeps it as a "
                            "document of its own when it next looks at the writing folder."});
  }
  return problems;
}

std::map<std::string, json::object> Library::allRecords() {
  std::map<std::string, fs::path> index;
  {
    Guard guard(mutex_);
    rescanLocked(guard);
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
        rememberLocked(guard, id, package, record->if_contains("rev"), std::move(missing_images));
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

}  // namespace qs::library
