// Moving and removing whole packages, so that a crash midway never leaves half of one: used by a
// write that renames its package (library_writes.cc) and by the move of the library
// (library_move.cc).
//
// Threads: any; the caller holds the packages' coordination (FileCoordinator).
#pragma once

#include <filesystem>

namespace qs::library {

namespace fs = std::filesystem;

// Moves a package to `to`, where nothing may be yet. Across file systems the package is copied
// whole under a temporary name, synced, renamed into place, and only then removed at `from`.
bool movePackage(const fs::path& from, const fs::path& to);

// Removes a package: renamed aside first, so that a crash midway leaves a temporary folder (which
// a later scan removes) and never a half-deleted package.
void removePackage(const fs::path& package);

// Makes every move take the path used across file systems.
void copyEveryPackageMoveForTesting(bool copy);

}  // namespace qs::library
