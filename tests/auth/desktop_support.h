// For the tests that run against desktop services: the GLib main loop turned until something
// holds, and a Secret Service of the test's own.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "auth/host_auth.h"

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
  pid_t pid_ = 0;
  bool ready_ = false;
};

// The browser part of a sign-in as a test plays it: what it was sent to, and how to end it.
struct Browser {
  std::optional<std::string> opened;
  std::function<void(auth::BrowserSignIn::End)> ended;
  bool closed = false;
  bool told_unreachable = false;
};
std::unique_ptr<auth::BrowserSignIn> browserSignIn(std::shared_ptr<Browser> browser);

// A HostAuth driven from the test: each call turns the main loop until its answer comes.
struct AuthDriver {
  // Starts a sign-in; waits for its browser part, or its end.
  std::shared_ptr<Browser> startSignIn();
  // A whole sign-in whose browser comes back with `callback`: the error code, or "" on success.
  std::string signIn(const std::string& callback);
  std::optional<std::string> token();
  std::optional<json::object> user();
  void signOut();

  std::unique_ptr<auth::HostAuth> auth;
  std::optional<auth::SignInOutcome> outcome;
};

}  // namespace qs::testing
