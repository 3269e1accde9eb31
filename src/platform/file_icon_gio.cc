#include "platform/file_icon.h"

#include <gio/gio.h>

namespace qs {

SetFolderIcon gvfs_folder_icon() {
  return [](const std::filesystem::path& folder, const std::filesystem::path& png) {
    GFile* file = g_file_new_for_path(folder.c_str());
    GFile* icon = g_file_new_for_path(png.c_str());
    char* uri = g_file_get_uri(icon);
    // Errors (no metadata store, a read-only mount) are expected and carry no data.
    g_file_set_attribute_string(file, "metadata::custom-icon", uri, G_FILE_QUERY_INFO_NONE, nullptr,
                                nullptr);
    g_free(uri);
    g_object_unref(icon);
    g_object_unref(file);
  };
}

}  // namespace qs
