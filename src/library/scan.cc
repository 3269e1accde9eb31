#include "library/scan.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/file_io.h"
#include "core/ids.h"
#include "core/text.h"
#include "library/paths.h"
#include "library/sync_names.h"
#include "library/versions.h"

namespace qs::library {

// File names need not be UTF-8 here; the page only takes text that is.
json::object Problem::toJSON() const {
  return json::object{{"name", text::makeValidUTF8(name)}, {"reason", reason}};
}

namespace {

// What the listing met, in order: a problem found there (kept in its place among the packages),
// or the package packages[slot].
struct Met {
  std::optional<Problem> problem;
  std::size_t slot = 0;
  bool in_writing_folder = false;
  bool is_copy = false;
};

struct Listing {
  std::vector<Met> met;
  std::vector<fs::path> packages;
  void problem(Problem p) { met.push_back({std::move(p)}); }
};

// Package folders in a folder of the writing folder, where the app doesn't look.
void reportNested(Listing& listing, const fs::directory_entry& entry, const std::string& name) {
  for (const auto& inner : listSorted(entry.path()).value_or(std::vector<fs::directory_entry>{})) {
    const std::string inner_name = inner.path().filename().string();
    if (hasPackageExtension(inner.path()) || isPlaceholderName(inner_name)) {
      listing.problem({inner.path().stem().string(),
                       "In the folder \u201c" + name +
                           "\u201d inside the writing folder, where the app doesn't look."});
    }
  }
}

void listEntry(Listing& listing, const fs::directory_entry& entry, bool is_writing_folder,
               bool in_writing_folder, fs::file_time_type stale_before) {
  std::error_code ec;
  const std::string name = entry.path().filename().string();
  // The entry's own type, a link not followed: the listing's where it gives one (no stat).
  const bool is_link = entry.is_symlink(ec);
  if (file_io::isTemporaryName(name)) {
    // Left by a crash mid-write; an hour on, nothing of ours is still writing it.
    if (entry.last_write_time(ec) < stale_before && !ec) fs::remove_all(entry.path(), ec);
    return;
  }
  if (name.starts_with(".") && isPlaceholderName(name)) {
    // A package the sync service has not brought down yet. There is no download to ask for
    // here: the sync client fetches it on its own.
    listing.problem({name.substr(1, name.size() - 1 - kPlaceholderSuffix.size()),
                     std::string(kReasonNotDownloaded)});
    return;
  }
  if (hasPackageExtension(entry.path())) {
    if (in_writing_folder && is_link) {
      listing.problem({entry.path().stem().string(), std::string(kReasonLink)});
      return;
    }
    listing.met.push_back(
        {std::nullopt, listing.packages.size(), in_writing_folder, isConflictCopyName(name)});
    listing.packages.push_back(entry.path());
    return;
  }
  if (isSyncToolFile(name)) return;
  if (!is_writing_folder || name.starts_with(".") || name == kArchiveFolder) return;
  if (is_link || !entry.is_directory(ec)) return;  // files, and links, aren't looked into
  reportNested(listing, entry, name);
}

Listing listFolders(const std::vector<fs::path>& folders) {
  Listing listing;
  const auto stale_before = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const fs::path& folder = folders[i];
    // The writing folder itself may be a link and is followed; below it nothing is.
    const bool in_writing_folder = i == 0 || isInside(folder, folders[0]);
    std::error_code ec;
    if (i > 0 && in_writing_folder && fs::is_symlink(fs::symlink_status(folder, ec))) {
      listing.problem({folder.filename().string(), std::string(kReasonLink)});
      continue;
    }
    auto entries = listSorted(folder);
    if (!entries) {
      if (i == 0) listing.problem({spokenName(folder), std::string(kReasonFolderUnopened)});
      continue;
    }
    for (const auto& entry : *entries)
      listEntry(listing, entry, i == 0, in_writing_folder, stale_before);
  }
  return listing;
}

// How a package stands among others holding its document, from its "document.json".
Standing standingOfPackage(const fs::path& package) {
  auto bytes = readDocumentFile(package);
  auto parsed = bytes ? json::parse(*bytes) : std::nullopt;
  return parsed && parsed->is_object() ? standingOf(parsed->get_object()) : Standing{};
}

struct Candidate {
  fs::path package;
  bool is_copy;
  bool in_writing_folder;
};

// Which of the packages holding `id` keeps it; none when no copy may stand for a deleted one.
std::optional<std::size_t> winnerOf(const std::string& id, const std::vector<Candidate>& list,
                                    const Ledger* ledger, const ScanHooks& hooks) {
  std::vector<std::size_t> originals;
  for (std::size_t k = 0; k < list.size(); ++k) {
    if (!list[k].is_copy) originals.push_back(k);
  }
  if (originals.size() == 1) return originals[0];
  if (originals.size() > 1) {
    // Decided from the files alone, as every computer sharing them decides.
    std::vector<Standing> standings;
    for (std::size_t k : originals) standings.push_back(standingOfPackage(list[k].package));
    std::size_t best = 0;
    for (std::size_t i = 1; i < originals.size(); ++i) {
      if (keepsTheID(standings[i], list[originals[i]].package.filename().native(), standings[best],
                     list[originals[best]].package.filename().native())) {
        best = i;
      }
    }
    return originals[best];
  }
  // Only copies: the one that stood in for its document keeps doing so.
  const auto named = ledger ? ledger->find(id) : Ledger::const_iterator();
  auto isNamed = [&](const Candidate& c) {
    return ledger && named != ledger->end() &&
           (named->second == c.package.native() ||
            normalPath(fs::path(named->second)) == normalPath(c.package));
  };
  if (auto it = std::find_if(list.begin(), list.end(), isNamed); it != list.end()) {
    return static_cast<std::size_t>(it - list.begin());
  }
  auto standsIn = [&](const Candidate& c) {
    return !hooks.copy_stands_in || hooks.copy_stands_in(id, c.package);
  };
  if (auto copy = std::find_if(list.begin(), list.end(), standsIn); copy != list.end()) {
    return static_cast<std::size_t>(copy - list.begin());
  }
  return std::nullopt;
}

// The winner keeps `id`; every other package holding it is reported (and, in the writing folder
// beside a winner there, listed as a duplicate).
void settleID(ScanResult& result, const std::string& id, const std::vector<Candidate>& list,
              std::optional<std::size_t> winner) {
  if (!winner) {
    for (const auto& c : list) {
      result.problems.push_back({c.package.stem().string(), std::string(kReasonCopyOfGone)});
    }
    return;
  }
  const Candidate& kept = list[*winner];
  result.found.emplace(id, kept.package);
  for (std::size_t k = 0; k < list.size(); ++k) {
    if (k == *winner) continue;
    if (list[k].in_writing_folder && kept.in_writing_folder) {
      result.duplicates.push_back({id, list[k].package, kept.package, result.problems.size()});
    }
    result.problems.push_back({list[k].package.stem().string(),
                               "Holds the same document as \u201c" + kept.package.stem().string() +
                                   "\u201d, which the app uses; this copy is left as it is."});
  }
}

}  // namespace

ScanResult scanFolders(const std::vector<fs::path>& folders, const Ledger* ledger,
                       const ScanHooks& hooks) {
  ScanResult result;
  Listing listing = listFolders(folders);
  const std::vector<Read> reads = hooks.identify(listing.packages);
  std::map<std::string, std::vector<Candidate>> candidates;
  std::vector<std::string> ids_met;  // so duplicates are reported in a stable order
  std::vector<std::pair<std::size_t, std::optional<FolderStamp>>> scanned;
  scanned.reserve(listing.packages.size());
  for (auto& m : listing.met) {
    if (m.problem) {
      result.problems.push_back(std::move(*m.problem));
      continue;
    }
    const fs::path& package = listing.packages[m.slot];
    const Read& read = reads[m.slot];
    const std::string base = package.stem().string();
    if (m.in_writing_folder) scanned.emplace_back(m.slot, read.folder);
    if (!read.id) {
      if (read.reason == kReasonUnreadable && hooks.still_arriving &&
          hooks.still_arriving(package)) {
        continue;
      }
      result.problems.push_back({base, read.reason});
    } else if (!ids::isDocumentID(*read.id)) {
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
    settleID(result, id, list, winnerOf(id, list, ledger, hooks));
  }
  result.packages.reserve(scanned.size());
  for (auto& [slot, folder] : scanned) {
    result.packages.push_back({std::move(listing.packages[slot]), folder});
  }
  return result;
}

ScanHooks::Identify identifyWith(const KnownID& known) {
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

std::function<bool(const std::string&, const fs::path&)> copiesStandingIn(
    const std::map<std::string, fs::path>& in_use, const std::set<std::string>& deleted) {
  return [&in_use, &deleted](const std::string& id, const fs::path& copy) {
    if (auto it = in_use.find(id); it != in_use.end()) {
      return it->second.filename() == copy.filename();
    }
    return !deleted.contains(id);
  };
}

}  // namespace qs::library
