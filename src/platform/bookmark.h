// A folder remembered across runs: bytes holding its path, name, device and inode, kept in the
// settings. Resolving finds the folder again at its path, or beside it after a rename, and says
// when the bytes should be made afresh.
//
// Threads: any; resolve and make read the file system.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qs {

struct Bookmark {
  // Bytes naming `folder`; none when it can't be read or its path isn't UTF-8.
  static std::optional<std::string> make(const std::filesystem::path& folder);

  struct Resolved {
    std::filesystem::path folder;
    bool stale = false;  // found, but the bytes no longer describe it: make them again
  };
  // The item the bytes name, whatever it now is (the caller decides whether it can serve):
  //  - at the stored path, when the device or the inode there is still the stored one (a
  //    remounted volume keeps the inode, a folder restored in place keeps the device);
  //  - else the item in the stored path's parent with both the stored device and inode (a
  //    folder renamed in place).
  // None when neither is found (a different folder now at the path, as the empty mount point
  // of an unmounted volume, counts as not found), or when the bytes can't be read.
  static std::optional<Resolved> resolve(std::string_view bytes);

  // The folder's name as stored; none when the bytes can't be read.
  static std::optional<std::string> storedName(std::string_view bytes);
};

}  // namespace qs
