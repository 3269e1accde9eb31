// One read of a package's "document.json" serves both the scan (which needs only the document's
// id) and the answer to "open" (which needs the whole document, as compact JSON): the file is
// read and parsed once, the document written out once, and what was read is kept with a stamp
// of the file, so that a later scan or open reads only the packages that changed.
//
// Threads: every function here may run on any thread; readPackages uses several.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/json.h"
#include "library/package.h"

namespace qs::library {

// What tells a file's contents apart without reading them. The library and most editors
// replace a file by renaming a new one over it, which changes the inode; a rewrite in place
// changes the modification or status-change time.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified {};
  struct timespec changed {};
  bool operator==(const FileStamp& other) const;
};
// The stamp of the regular file `name` in the open folder `folder_fd` (a link is not followed).
std::optional<FileStamp> fileStamp(int folder_fd, const char* name);

// A document as the answer to "open" carries it, and what the library remembers of its file.
struct DocumentText {
  std::string doc;    // the doc in compact form, characters as they are, image references restored
  bool ascii = true;  // `doc` holds no byte past ASCII
  std::size_t ascii_size = 0;  // the length of `doc` with characters past ASCII as \u escapes
  std::string rev;             // the record's rev in compact form
  json::value rev_value;
  double created = 0;  // the doc's `created`, or 0
  std::uintmax_t size = 0;
  fs::file_time_type date;
  std::string hash;  // SHA-256 hex of the bytes read
  std::set<std::string> missing_images;
  // The image files restored into `doc`, with their stamps when read.
  std::vector<std::pair<std::string, FileStamp>> images;
};

enum class ReadDepth {
  kIdentity,  // the id, or the reason the package can't be used (readIDOrReason)
  kDocument,  // that, and the document as readRecord gives it, written out
};

struct PackageRead {
  Read identity;
  std::optional<FileStamp> stamp;  // of "document.json" as read; none when it wasn't read
  ReadDepth depth = ReadDepth::kIdentity;
  // With kDocument: the document, or null when the package holds no record the app can open.
  std::shared_ptr<const DocumentText> text;
};

// A JSON number as an integer, truncating a fraction; none for anything else (a record's rev).
std::optional<std::int64_t> integerOf(const json::value* v);

// Reads one package: never through a link, as readIDOrReason and readRecord.
PackageRead readPackage(const fs::path& package, ReadDepth depth);

// The same for many packages, on every core, in the order given. `earlier`, when not empty,
// holds for each package its last read or null: a read still current is taken as it is.
std::vector<PackageRead> readPackages(const std::vector<fs::path>& packages, ReadDepth depth,
                                      const std::vector<const PackageRead*>& earlier = {});

// Whether `read`, made earlier, still describes the package: its "document.json" and every image
// restored into its text are as they were, and no image it referenced was missing.
bool stillCurrent(const fs::path& package, const PackageRead& read, ReadDepth depth);

}  // namespace qs::library
