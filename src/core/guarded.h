// The one wall between C++ and whatever must not see an exception: a C callback (GLib, GTK,
// WebKit) and a worker's loop. A failure is logged and the caller goes on. Callable from any
// thread.
#pragma once

#include <exception>

namespace qs {

// Logs a failure that reached the wall: "<what> failed: <reason>", or the reason alone when
// `what` is null. `reason` is null when the thrown thing was no std::exception.
void reportGuardedFailure(const char* what, const char* reason) noexcept;

// Runs `f`; nothing it throws gets past. `what` names the work in the log ("a background task").
template <typename F>
void guarded(F&& f, const char* what = nullptr) noexcept {
  try {
    f();
  } catch (const std::exception& e) {
    reportGuardedFailure(what, e.what());
  } catch (...) {
    reportGuardedFailure(what, nullptr);
  }
}

}  // namespace qs
