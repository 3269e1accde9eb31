// The document package: a folder "<name>.quillstone" holding "document.json" (the page's doc in
// a small envelope), the images it references, "preview.md" and "QuickLook/" (Preview.html and
// Thumbnail.png). This is the one definition of where a package lives, how it is named, and how
// it is read and written.
//
// Threads: fileName, freeURL, placement, spokenName and supportURL are pure or read-only and may
// run anywhere. readRecord runs on its caller's thread; readIDOrReason and writePackage run on the
// library's queue (the caller holds whatever coordination the package needs).
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/event_loop.h"
#include "core/json.h"
#include "library/sync_names.h"
#include "platform/file_icon.h"

namespace qs::library {

namespace fs = std::filesystem;

inline constexpr std::string_view kPackageExtension = ".quillstone";
inline constexpr std::string_view kPlaceholderSuffix = ".quillstone.icloud";
inline constexpr std::string_view kDocumentFile = "document.json";
inline constexpr std::string_view kFormat = "quillstone/document";
inline constexpr std::string_view kArchiveFolder = "Archive";
inline constexpr std::string_view kReservedFolder = "reserved";
inline constexpr std::string_view kCapturesFolder = "captures";

inline constexpr std::string_view kReasonUnreadable = "Couldn't be read.";
inline constexpr std::string_view kReasonNotDocument = "Isn't a document the app can read.";
inline constexpr std::string_view kReasonNotDownloaded = "Not downloaded from iCloud yet.";

// The base name (no extension) of a doc's package: its title, else its first words, else
// "Untitled"; made safe for a file name and cut to 80 characters.
std::string fileName(const json::object& doc);
// The same within `max_bytes` bytes (the name a package made from shared files gets, which
// carries a tag after it).
std::string fileName(const json::object& doc, std::size_t max_bytes);
// The name earlier versions of the program gave `doc`, where it differs: they kept line and
// paragraph separators and bidirectional controls in names. A package named so keeps its name
// while its title is unchanged, so that an older copy of the program on another computer never
// renames it back.
std::optional<std::string> earlierFileName(const json::object& doc);

// The first package URL in `folder` for `base`, "base 2", "base 3", … that is free, or that is
// `except` (the document's own package, so a document never collides with itself).
// `taken`, when given, names more places that aren't free.
fs::path freeURL(const fs::path& folder, std::string_view base,
                 const std::optional<fs::path>& except = std::nullopt,
                 const std::function<bool(const fs::path&)>& taken = {});

struct Placement {
  fs::path folder;
  std::string base_name;
};

// Where a document's package goes: reserved ids to support/reserved (named by id), archived
// docs to root/Archive, the rest to root.
Placement placement(std::string_view id, const json::object& doc, const fs::path& root,
                    const fs::path& support);

// The record of a package, with image references restored; none when "document.json" is
// missing, unreadable or not a document. The names of referenced image files that aren't there
// go to `missing_images` when given. Nothing is read through a link: a linked package or
// "document.json" is unreadable, a linked image missing.
std::optional<json::object> readRecord(const fs::path& package,
                                       std::set<std::string>* missing_images = nullptr);

// The bytes of a package's "document.json", never read through a link.
std::optional<std::string> readDocumentFile(const fs::path& package);

// The size and modification date of a package's "document.json" (a regular file, not a link).
struct Stamp {
  std::uintmax_t size = 0;
  fs::file_time_type date;
};
std::optional<Stamp> documentStamp(const fs::path& package);

// What tells whether a folder's entries changed: a file added, removed or renamed in it changes
// its status-change time, which no program can set back.
struct FolderStamp {
  std::uint64_t inode = 0;
  std::int64_t changed_seconds = 0;
  std::int64_t changed_nanoseconds = 0;
  bool operator==(const FolderStamp&) const = default;
};
// The stamp of the folder open as `fd`, or of the folder at `path` (not followed when a link).
std::optional<FolderStamp> folderStamp(int fd);
std::optional<FolderStamp> folderStamp(const fs::path& path);

// The identity of a package: the doc id, or the reason it can't be used.
struct Read {
  std::optional<std::string> id;
  std::string reason;  // set when id is none
  // The package folder's stamp when it was read, where the read had it at hand.
  std::optional<FolderStamp> folder = std::nullopt;
};
Read readIDOrReason(const fs::path& package);

struct WriteHooks {
  // Where the new thumbnail is given to the file manager as the package's icon, on the loop's
  // thread. Both empty: no icon is set (the command-line tool, tests).
  EventLoop* main_loop = nullptr;
  SetFolderIcon set_icon;
  // Told about a secondary file (preview, Quick Look page, thumbnail) that couldn't be written;
  // the document itself was saved.
  std::function<void(const fs::path& file, std::string_view why)> secondary_failed;
  // When set, the folder a new package was renamed into is handed here rather than synced at
  // once: a batch syncs each such folder once, after all its packages.
  std::function<void(const fs::path& folder)> sync_folder_later;
  // For a package made from files that other computers share (a version): the envelope's "app"
  // and every file's modification time come from those files, so that two computers making it
  // write the same bytes and times, and a sync tool sees nothing to reconcile.
  std::optional<std::string> app;
  std::optional<std::chrono::system_clock::time_point> file_time;
  // For a package that was there: the "document.json" the save replaced, taken out in the same
  // step as the new one went in, before anything else in the package changes.
  std::function<void(std::string_view bytes, const struct stat& status)> replaced;
};

// Writes the package and reports whether the document was saved. A new package is built under
// a temporary name beside it and renamed into place whole, so it appears complete or not at
// all. "document.json" goes in place first; the previews after it never fail the save (a
// failure there goes to `hooks.secondary_failed` and the system log). Nothing is written or
// pruned through a link inside the package; a sync tool's own files are left alone, and so is
// every image a version file beside "document.json" still references. Copies a sync tool set
// aside of the previews are replaced (removed). The names of referenced image files that aren't
// in the package go to `missing_images` when given.
[[nodiscard]] bool writePackage(const fs::path& package, const json::object& record,
                                const json::object& doc, const WriteHooks& hooks = {},
                                std::set<std::string>* missing_images = nullptr);

// A folder as "Parent → Folder", with the file system's display names.
std::string spokenName(const fs::path& folder);

// The support folder: $QUILLSTONE_SUPPORT, else $XDG_DATA_HOME/quillstone.
fs::path supportURL();

// The "app" member of every envelope written.
std::string appSignature();

}  // namespace qs::library
