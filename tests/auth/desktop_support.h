// For the tests that run against desktop services: the GLib main loop turned until something
// holds, and a Secret Service of the test's own.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <filesystem>
#include <functional>

namespace qs::testing {

// Turns the thread's GLib main context until `done` holds; false when it still doesn't after
// `limit` (a catch-all: nothing a test waits for should take long).
bool spinUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(60));
// Turns it until nothing is ready.
void spinPending();

// A gnome-keyring daemon on this process's D-Bus session, its keyrings in `home`, unlocked with
// a fixed test password. Stopped when destroyed.
class Keyring {
 public:
  explicit Keyring(const std::filesystem::path& home);
  ~Keyring();
  Keyring(const Keyring&) = delete;
  Keyring& operator=(const Keyring&) = delete;
  bool running() const { return ready_; }

 private:
  GSubprocess* process_ = nullptr;
  bool ready_ = false;
};

}  // namespace qs::testing
