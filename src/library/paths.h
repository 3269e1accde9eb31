// Paths and folder listings the library's files share (library.cc and the files beside it).
//
// Threads: pure, or reads the file system only; callable from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace qs::library {

namespace fs = std::filesystem;

// Files of the support folder that more than one of the library's files use.
inline constexpr std::string_view kWorkspaceFile = "workspace.json";
inline constexpr std::string_view kPretextFile = "pretext.json";

// A folder's entries sorted by name, so that which of two packages with one id wins does not
// depend on the file system's listing order. None when the folder can't be listed.
std::optional<std::vector<fs::directory_entry>> listSorted(const fs::path& folder);

bool hasPackageExtension(const fs::path& p);
bool isPlaceholderName(std::string_view name);

// `p` without "." and ".." steps or a trailing slash.
fs::path normalPath(const fs::path& p);
// Whether `path` lies below `folder` (compared as written: no link is resolved).
bool isInside(const fs::path& path, const fs::path& folder);

// A path made absolute (relative to the current folder) and without a trailing slash, so that
// it means the same place to every later run.
fs::path absoluteFolder(const fs::path& p);

// A folder, not a link to one.
bool isRealFolder(const fs::path& p);

// Syncs the folder holding `p`, so that a rename into or out of it survives a power cut.
void syncParent(const fs::path& p);

}  // namespace qs::library
