#include "platform/file_viewer.h"

#include <gio/gio.h>

#include <cstdio>
#include <memory>

#include "core/system_log.h"

namespace qs {

void showInFileViewer(const std::filesystem::path& path) {
  const std::string uri = fileURI(path);
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) {
    openWithDefaultApp(fileURI(path.parent_path()));
    return;
  }
  const char* uris[] = {uri.c_str(), nullptr};
  auto* fallback = new std::filesystem::path(path);
  g_dbus_connection_call(
      bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
      "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::filesystem::path> where(static_cast<std::filesystem::path*>(data));
        g_autoptr(GVariant) answer =
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        // No file manager offers the call: its folder opens instead.
        if (!answer) openWithDefaultApp(fileURI(where->parent_path()));
      },
      fallback);
}

void openWithDefaultApp(const std::string& uri) {
  g_autoptr(GError) error = nullptr;
  if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
    systemLog("couldn't open %s: %s", uri.c_str(), error ? error->message : "no program for it");
  }
}

std::string fileURI(const std::filesystem::path& path) {
  g_autoptr(GFile) file = g_file_new_for_path(path.c_str());
  g_autofree char* uri = g_file_get_uri(file);
  return uri ? uri : "";
}

}  // namespace qs
