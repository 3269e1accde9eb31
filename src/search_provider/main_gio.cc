// quillstone-search-provider: answers the desktop's search from the search index. The session
// bus starts it (its D-Bus service file) when the shell first asks, and it ends after a quiet
// spell. The index is found where the program keeps it: $QUILLSTONE_SUPPORT, else
// $XDG_DATA_HOME/quillstone.
#include <gio/gio.h>

#include <cstdio>
#include <memory>

#include "core/identity.h"
#include "core/system_log.h"
#include "library/package.h"
#include "search_provider/search_provider_gio.h"

int main() {
  using qs::search_provider::SearchProvider;
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    qs::systemLog("no session bus: %s", error->message);
    return 1;
  }
  auto provider =
      std::make_unique<SearchProvider>(qs::library::supportURL() / "search-index.sqlite3", loop);
  if (!provider->exportOn(bus)) return 1;

  // The object is in place before the name is taken, so no call finds it missing. A second
  // copy started by a race gives way to the first.
  g_bus_own_name_on_connection(
      bus, qs::identity::kSearchProviderBusName.data(), G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
      nullptr,
      // Also called, without a connection, when the bus goes away.
      +[](GDBusConnection* connection, const char* name, gpointer data) {
        if (connection && !g_dbus_connection_is_closed(connection)) {
          qs::systemLog("the search provider's name %s is taken", name);
        }
        g_main_loop_quit(static_cast<GMainLoop*>(data));
      },
      loop, nullptr);
  g_main_loop_run(loop);
  provider.reset();  // before the bus it is exported on
  return 0;
}
