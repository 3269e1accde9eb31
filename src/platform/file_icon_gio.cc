#include "platform/file_icon.h"

#include <gio/gio.h>

#include "platform/file_viewer.h"

namespace qs {

SetFolderIcon gvfsFolderIcon() {
  return [](const std::filesystem::path& folder, const std::filesystem::path& png) {
    g_autoptr(GFile) file = g_file_new_for_path(folder.c_str());
    // Errors (no metadata store, a read-only mount) are expected and carry no data.
    g_file_set_attribute_string(file, "metadata::custom-icon", fileURI(png).c_str(),
                                G_FILE_QUERY_INFO_NONE, nullptr, nullptr);
  };
}

}  // namespace qs
