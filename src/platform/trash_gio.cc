#include "platform/trash.h"

#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qs {

namespace {

class GioTrash final : public Trash {
 public:
  bool moveToTrash(const std::filesystem::path& path, std::string* error) override {
    g_autoptr(GFile) file = g_file_new_for_path(path.c_str());
    g_autoptr(GError) failure = nullptr;
    const bool ok = g_file_trash(file, nullptr, &failure);
    if (!ok && error) *error = failure ? failure->message : "couldn't move to the Trash";
    return ok;
  }

  // The home Trash, and the Trash of the file system `folder` is on when that is another one
  // (GIO puts what it trashes there in "$top/.Trash-$uid").
  std::vector<std::filesystem::path> trashedFrom(const std::filesystem::path& folder) override {
    std::vector<std::filesystem::path> out =
        trashedItems(std::filesystem::path(g_get_user_data_dir()) / "Trash", {}, folder);
    struct stat home {
    }, at{};
    if (::stat(g_get_user_data_dir(), &home) != 0 || ::stat(folder.c_str(), &at) != 0 ||
        home.st_dev == at.st_dev) {
      return out;
    }
    std::filesystem::path top = folder;
    for (struct stat up{}; top.has_parent_path() && top.parent_path() != top;) {
      if (::stat(top.parent_path().c_str(), &up) != 0 || up.st_dev != at.st_dev) break;
      top = top.parent_path();
    }
    auto more = trashedItems(top / (".Trash-" + std::to_string(::getuid())), top, folder);
    out.insert(out.end(), more.begin(), more.end());
    return out;
  }
};

}  // namespace

std::unique_ptr<Trash> makeDesktopTrash() {
  return std::make_unique<GioTrash>();
}

}  // namespace qs
