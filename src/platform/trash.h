// The desktop's Trash: documents and restore points are never deleted, only moved there, so
// that the user can always get them back. Callable from any thread; may block on the disk.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qs {

class Trash {
 public:
  virtual ~Trash() = default;
  // Moves the file or folder to the Trash. False (and `error` set) when it stayed in place.
  [[nodiscard]] virtual bool moveToTrash(const std::filesystem::path& path,
                                         std::string* error = nullptr) = 0;
  // What the Trash holds that was moved there from below `folder`, where it is now in the
  // Trash, newest first; empty where the Trash can't be read.
  virtual std::vector<std::filesystem::path> trashedFrom(const std::filesystem::path& folder) {
    (void)folder;
    return {};
  }
};

// The items of one freedesktop Trash folder (holding "info" and "files") that came from below
// `folder`, newest first. `top` is the folder a Trash on another file system keeps paths relative
// to (empty for the home Trash, whose paths are absolute).
std::vector<std::filesystem::path> trashedItems(const std::filesystem::path& trash,
                                                const std::filesystem::path& top,
                                                const std::filesystem::path& folder);

// The freedesktop Trash through GIO (g_file_trash).
std::unique_ptr<Trash> makeDesktopTrash();

}  // namespace qs
