#include "platform/trash.h"

#include <gio/gio.h>

namespace qs {

namespace {

class GioTrash final : public Trash {
 public:
  bool moveToTrash(const std::filesystem::path& path, std::string* error) override {
    GFile* file = g_file_new_for_path(path.c_str());
    GError* failure = nullptr;
    const bool ok = g_file_trash(file, nullptr, &failure);
    if (!ok && error) *error = failure ? failure->message : "couldn't move to the Trash";
    if (failure) g_error_free(failure);
    g_object_unref(file);
    return ok;
  }
};

}  // namespace

std::unique_ptr<Trash> makeDesktopTrash() {
  return std::make_unique<GioTrash>();
}

}  // namespace qs
