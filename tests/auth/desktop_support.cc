#include "auth/desktop_support.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qs::testing {

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Wakes the loop now and then, so the deadline is seen when nothing else happens.
  const guint tick = g_timeout_add(
      20, +[](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  bool held = done();
  while (!held && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    held = done();
  }
  g_source_remove(tick);
  return held;
}

void spinPending() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

Keyring::Keyring(const std::filesystem::path& home) {
  const auto data = home / "data";
  const auto runtime = home / "run";
  std::filesystem::create_directories(data);
  std::filesystem::create_directories(runtime);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  gchar** env = g_get_environ();
  env = g_environ_setenv(env, "XDG_DATA_HOME", data.c_str(), TRUE);
  env = g_environ_setenv(env, "XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
  env = g_environ_setenv(env, "HOME", home.c_str(), TRUE);
  const char* argv[] = {"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets",
                        nullptr};
  gint input = -1;
  GError* error = nullptr;
  GPid pid = 0;
  const bool spawned =
      g_spawn_async_with_pipes(nullptr, const_cast<gchar**>(argv), env,
                               GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                           G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                               nullptr, nullptr, &pid, &input, nullptr, nullptr, &error);
  g_strfreev(env);
  if (!spawned) {
    g_printerr("gnome-keyring-daemon: %s\n", error->message);
    g_error_free(error);
    return;
  }
  pid_ = pid;
  // The password on standard input unlocks (and at first creates) the login keyring.
  const std::string password = "quillstone-test";
  if (write(input, password.data(), password.size()) < 0) g_printerr("keyring: no password\n");
  close(input);

  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return;
  ready_ = spinUntil(
      [bus] {
        GVariant* owned = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
        gboolean has = FALSE;
        if (owned) {
          g_variant_get(owned, "(b)", &has);
          g_variant_unref(owned);
        }
        if (!has) g_usleep(50'000);
        return has == TRUE;
      },
      std::chrono::seconds(60));
  g_object_unref(bus);
}

Keyring::~Keyring() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
}

}  // namespace qs::testing
