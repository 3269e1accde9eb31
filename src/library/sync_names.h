// The names sync tools give to what they put in the writing folder: the copies they set aside
// when two computers changed one file (a conflict), and their own working files. One table in
// sync_names.cc holds every tool's pattern.
//
// Threads: pure; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qs::library {

// What a copy's name tells: the name of the file it was set aside from, and when, as written in
// the name ("2026-12-07 15:30", or "2026-12-07" where the tool writes only a date). The time is
// the sync tool's, on the computer that set the copy aside: it is never converted, so every
// computer reads the same words from the same name.
struct SetAsideName {
  std::string original;  // "document.json" for "document.sync-conflict-….json"
  std::string when;
  std::string_view tool;  // "Syncthing", "Dropbox", …
};

// The copy a sync tool made of a file it couldn't merge, or none for any other name.
std::optional<SetAsideName> parseSetAsideName(std::string_view name);

// A version file: a copy of a package's "document.json" set aside by a sync tool.
std::optional<SetAsideName> parseVersionFileName(std::string_view name);

// Whether a package's name marks it as a copy a sync tool or a file manager made
// ("(conflicted copy", ".sync-conflict-", " (copy)", and every tool's pattern above).
bool isConflictCopyName(std::string_view package_name);

// Whether a file or folder name is one of a sync tool's own (its marker, its settings, its
// temporary and lock files): never read as a document, never counted as a problem, never a reason
// to look at the folder again, never touched.
bool isSyncToolFile(std::string_view name);

// Whether a path has one of a sync tool's own names anywhere below `folder`.
bool isSyncToolPath(std::string_view path, std::string_view folder);

}  // namespace qs::library
