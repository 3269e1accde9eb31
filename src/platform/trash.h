// The desktop's Trash: documents and restore points are never deleted, only moved there, so
// that the user can always get them back. Callable from any thread; may block on the disk.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace qs {

class Trash {
 public:
  virtual ~Trash() = default;
  // Moves the file or folder to the Trash. False (and `error` set) when it stayed in place.
  [[nodiscard]] virtual bool moveToTrash(const std::filesystem::path& path,
                                         std::string* error = nullptr) = 0;
};

// The freedesktop Trash through GIO (g_file_trash).
std::unique_ptr<Trash> makeDesktopTrash();

}  // namespace qs
