#include "auth/desktop_support.h"

#include <gio/gio.h>
#include <signal.h>

#include <string>

namespace qs::testing {

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Wakes the loop now and then, so the deadline is seen when nothing else happens.
  const guint tick = g_timeout_add(
      20, +[](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
  }
  g_source_remove(tick);
  return done();
}

void spinPending() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

Keyring::Keyring(const std::filesystem::path& home) {
  const auto data = home / "data", runtime = home / "run";
  for (const auto& folder : {data, runtime}) std::filesystem::create_directories(folder);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(
      GSubprocessFlags(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_SILENCE |
                       G_SUBPROCESS_FLAGS_STDERR_SILENCE));
  g_subprocess_launcher_setenv(launcher, "XDG_DATA_HOME", data.c_str(), TRUE);
  g_subprocess_launcher_setenv(launcher, "XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
  g_subprocess_launcher_setenv(launcher, "HOME", home.c_str(), TRUE);
  // Watched before the start, so that its arrival on the bus can't be missed.
  bool appeared = false;
  const guint watch = g_bus_watch_name(
      G_BUS_TYPE_SESSION, "org.freedesktop.secrets", G_BUS_NAME_WATCHER_FLAGS_NONE,
      +[](GDBusConnection*, const gchar*, const gchar*, gpointer seen) {
        *static_cast<bool*>(seen) = true;
      },
      nullptr, &appeared, nullptr);
  g_autoptr(GError) error = nullptr;
  process_ = g_subprocess_launcher_spawn(launcher, &error, "gnome-keyring-daemon", "--foreground",
                                         "--unlock", "--components=secrets", nullptr);
  if (!process_) g_printerr("gnome-keyring-daemon: %s\n", error->message);
  if (process_) {
    // The password on standard input unlocks (and at first creates) the login keyring.
    GOutputStream* input = g_subprocess_get_stdin_pipe(process_);
    g_output_stream_write_all(input, "quillstone-test", 15, nullptr, nullptr, nullptr);
    g_output_stream_close(input, nullptr, nullptr);
    ready_ = spinUntil([&] { return appeared; });
  }
  g_bus_unwatch_name(watch);
}

Keyring::~Keyring() {
  if (!process_) return;
  g_subprocess_send_signal(process_, SIGTERM);
  g_subprocess_wait(process_, nullptr, nullptr);
  g_object_unref(process_);
}

}  // namespace qs::testing
