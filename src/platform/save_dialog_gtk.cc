#include "platform/save_dialog.h"

#include "core/guarded.h"
#include "platform/file_chooser.h"

namespace qs {

void askWhereToSave(GtkWindow* parent, const std::string& suggested_name,
                    std::function<void(std::optional<std::filesystem::path>)> chosen) {
  GtkFileChooserNative* chooser =
      gtk_file_chooser_native_new("Save", parent, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), suggested_name.c_str());
  if (const char* downloads = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD)) {
    startIn(GTK_FILE_CHOOSER(chooser), downloads);
  }
  using Chosen = std::function<void(std::optional<std::filesystem::path>)>;
  g_signal_connect_data(
      chooser, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
        guarded([&] {
          std::optional<std::filesystem::path> path;
          if (response == GTK_RESPONSE_ACCEPT) path = chosenPath(GTK_FILE_CHOOSER(dialog));
          (*static_cast<Chosen*>(data))(path);
        });
        g_object_unref(dialog);
      }),
      new Chosen(std::move(chosen)),
      +[](gpointer data, GClosure*) { delete static_cast<Chosen*>(data); }, GConnectFlags(0));
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

}  // namespace qs
