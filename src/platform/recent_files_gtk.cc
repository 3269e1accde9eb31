#include "platform/recent_files.h"

#include <gtk/gtk.h>

#include "platform/file_viewer.h"

namespace qs {

void rememberRecentFile(const std::filesystem::path& path) {
  gtk_recent_manager_add_item(gtk_recent_manager_get_default(), fileURI(path).c_str());
}

}  // namespace qs
