#include "platform/file_chooser.h"

namespace qs {

void startIn(GtkFileChooser* chooser, const std::filesystem::path& folder) {
  g_autoptr(GFile) start = g_file_new_for_path(folder.c_str());
  gtk_file_chooser_set_current_folder(chooser, start, nullptr);
}

std::optional<std::filesystem::path> chosenPath(GtkFileChooser* chooser) {
  g_autoptr(GFile) file = gtk_file_chooser_get_file(chooser);
  g_autofree char* path = file ? g_file_get_path(file) : nullptr;
  if (!path) return std::nullopt;
  return std::filesystem::path(path);
}

std::vector<std::filesystem::path> chosenPaths(GtkFileChooser* chooser) {
  std::vector<std::filesystem::path> out;
  g_autoptr(GListModel) files = gtk_file_chooser_get_files(chooser);
  for (guint i = 0; i < g_list_model_get_n_items(files); ++i) {
    g_autoptr(GFile) file = G_FILE(g_list_model_get_item(files, i));
    g_autofree char* path = g_file_get_path(file);
    if (path) out.emplace_back(path);
  }
  return out;
}

}  // namespace qs
