// The packages the library makes from what sync tools set aside (library_versions.cc): the
// envelopes read from shared files, a version's doc, and a package made so that two computers
// making it from the same files write the same bytes, names and times.
//
// Threads: any; the caller holds whatever coordination the packages need.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_io.h"
#include "core/json.h"
#include "library/package.h"

namespace qs::library {

namespace fs = std::filesystem;

// A version file is a copy of a "document.json": one far larger isn't read.
inline constexpr std::size_t kMaxDocumentBytes = 256u << 20;

std::string curlyQuoted(std::string_view s);

// An envelope whose doc has an id the writing folder may hold; none for anything else (a
// damaged file, an id that breaks the rule or is one the app keeps).
std::optional<json::object> parseEnvelope(std::string_view bytes);
// The same from the file `name` in `folder`; none also for a link, a folder or an empty file.
std::optional<json::object> readEnvelope(const file_io::Folder& folder, std::string_view name);
// The doc and its id of an envelope readEnvelope gave.
const json::object& docOf(const json::object& envelope);
std::string idOf(const json::object& envelope);
// A doc's title, else the name its package would have.
std::string titleOf(const json::object& doc);

// A file's modification time.
std::chrono::system_clock::time_point modifiedAt(const struct stat& st);
// The modification time of the file at `path`, not followed when a link; the epoch when none.
std::chrono::system_clock::time_point modifiedAt(const fs::path& path);
// The time every file of a package made from `envelope` gets: the doc's `updated`, else the
// source file's own modification time (which a sync tool carries over too).
std::chrono::system_clock::time_point timeOf(const json::object& envelope,
                                             std::chrono::system_clock::time_point source);

// A doc as a version: its own id and title.
json::object asVersion(const json::object& doc, const std::string& id, std::string_view when);

// Copies the pictures `doc` references that `package` lacks from `sources`, each checked against
// its content-hash name and given its source's modification time (so that two computers copying
// it write the same file). Gives those still missing.
std::set<std::string> copyMissingImages(const fs::path& package, const json::value& doc,
                                        const std::vector<fs::path>& sources);

// A package made from shared files: written here, found already there (made by this computer or
// another before), or blocked by something else under its name.
struct MadeHere {
  enum class Outcome { kWritten, kAlreadyThere, kBlocked } outcome = Outcome::kBlocked;
  fs::path package;
  std::set<std::string> missing_images;
};
// Makes the package of `doc` (with the id `id`, from the envelope `source`) in `folder`, named by
// madeHereName, its pictures from `sources`, every file at `when`.
MadeHere makePackageHere(const fs::path& folder, const std::string& id, const json::object& doc,
                         const json::object& source, std::chrono::system_clock::time_point when,
                         const std::vector<fs::path>& sources, WriteHooks hooks);

}  // namespace qs::library
