#include "platform/file_viewer.h"

#include <gio/gio.h>

#include <cstdio>

namespace qs {

namespace {

void open_folder_of(const std::filesystem::path& path) {
  GFile* folder = g_file_new_for_path(path.parent_path().c_str());
  char* uri = g_file_get_uri(folder);
  openWithDefaultApp(uri);
  g_free(uri);
  g_object_unref(folder);
}

}  // namespace

void showInFileViewer(const std::filesystem::path& path) {
  GFile* file = g_file_new_for_path(path.c_str());
  char* uri = g_file_get_uri(file);
  g_object_unref(file);
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) {
    g_free(uri);
    open_folder_of(path);
    return;
  }
  const char* uris[] = {uri, nullptr};
  auto* fallback = new std::filesystem::path(path);
  g_dbus_connection_call(
      bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
      "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* where = static_cast<std::filesystem::path*>(data);
        GError* error = nullptr;
        GVariant* answer = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        if (answer) {
          g_variant_unref(answer);
        } else {
          g_error_free(error);
          open_folder_of(*where);  // no file manager offers the call
        }
        delete where;
      },
      fallback);
  g_object_unref(bus);
  g_free(uri);
}

void openWithDefaultApp(const std::string& uri) {
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
    std::fprintf(stderr, "Quillstone: couldn't open %s: %s\n", uri.c_str(),
                 error ? error->message : "no program for it");
    if (error) g_error_free(error);
  }
}

}  // namespace qs
