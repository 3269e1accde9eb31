// The scan: what the writing folder, its Archive and the support folder's reserved documents
// hold, found from the files alone. It lists the folders, identifies every package met (so that
// the reads can share the cores), then takes the packages in the order met, as one pass would,
// and decides which package keeps each id. Library::scan and the library's rescans
// (library_scan.cc) and the outside-change check (library_changes.cc) run it.
//
// Threads: any; the functions given to it run on the caller's thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"
#include "library/package.h"

namespace qs::library {

namespace fs = std::filesystem;

inline constexpr std::string_view kReasonFolderUnopened = "The writing folder couldn't be opened.";
inline constexpr std::string_view kReasonVanished =
    "No longer in the writing folder (moved or deleted outside the app).";
inline constexpr std::string_view kReasonLink =
    "Is a link to another place, which the app doesn't follow.";
inline constexpr std::string_view kReasonReservedID =
    "Its document id is one the app keeps for its own documents.";
inline constexpr std::string_view kReasonInvalidID = "Its document id isn't one the app can use.";
inline constexpr std::string_view kReasonCopyOfGone =
    "A conflict copy of a document that was deleted; this copy is left as it is.";

struct Problem {
  std::string name;
  std::string reason;
  json::object toJSON() const;
  bool operator==(const Problem&) const = default;
};

// A package of the writing folder or its Archive that the scan met, with its folder's stamp
// where the read had it.
struct ScannedPackage {
  fs::path path;
  std::optional<FolderStamp> folder;
};

// A second package holding a document, in the writing folder or its Archive: `package` lost the
// id to `winner`, and problems[problem] reports it.
struct Duplicate {
  std::string id;
  fs::path package;
  fs::path winner;
  std::size_t problem = 0;
};

struct ScanResult {
  std::map<std::string, fs::path> found;
  std::vector<Problem> problems;
  std::vector<ScannedPackage> packages;
  std::vector<Duplicate> duplicates;
};

// Names the id of a package without reading it, where it can.
using KnownID = std::function<std::optional<std::string>(const fs::path& package)>;
// Where the library last had each document: id → package path.
using Ledger = std::map<std::string, std::string>;

// What a scan asks of its caller. Only `identify` is needed.
struct ScanHooks {
  // The identity of each package, in the order given.
  using Identify = std::function<std::vector<Read>(const std::vector<fs::path>& packages)>;
  Identify identify;
  // Whether a conflict copy, the only package holding `id`, stands for the document.
  std::function<bool(const std::string& id, const fs::path& copy)> copy_stands_in;
  // Whether a package whose "document.json" can't be read may still be arriving (not reported
  // yet).
  std::function<bool(const fs::path& package)> still_arriving;
};

// Scans `folders` (position 0 is the writing folder): see Library::scan for the rules.
ScanResult scanFolders(const std::vector<fs::path>& folders, const Ledger* ledger,
                       const ScanHooks& hooks);

// Packages are read for their id unless `known` names it. `known` must outlive the result.
ScanHooks::Identify identifyWith(const KnownID& known);

// While the library runs, a conflict copy left alone stands for its document only where it
// already did (a library moved since keeps its names), and never for a document the library
// has at another package (gone this moment) or saw deleted: the copy would bring back what was
// deleted, or an old version over a newer one. A copy alone at the start is the document.
// `in_use` and `deleted` must outlive the result.
std::function<bool(const std::string&, const fs::path&)> copiesStandingIn(
    const std::map<std::string, fs::path>& in_use, const std::set<std::string>& deleted);

}  // namespace qs::library
