// The application's registry of document windows, apart from GTK: saving and restoring the
// window list, handing records written in one window to the others, and settling every window
// before the program ends. Main thread only.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "windows/document_window.h"

namespace qs {
class Prefs;
}  // namespace qs

namespace qs::app {

// The registry keeps document windows as windows/ describes them.
using windows::frameText;
using windows::parseFrame;
using windows::RegisteredWindow;
using windows::Size;

struct SavedWindow {
  std::optional<std::string> docID;
  std::optional<Size> size;
};

// What a file handed to the program is.
enum class OpenKind { kPackage, kMaybeBackup, kImportable, kIgnored };
OpenKind openKind(const std::filesystem::path& file);

class WindowRegistry {
 public:
  explicit WindowRegistry(Prefs* prefs) : prefs_(prefs) {}

  const std::vector<std::shared_ptr<RegisteredWindow>>& windows() const { return windows_; }
  void add(std::shared_ptr<RegisteredWindow> window);
  // A window closed: it leaves the registry, and the saved list follows unless quitting.
  void closed(const RegisteredWindow* window);
  // Lets go of every window, leaving the saved list as it is (the program is ending).
  void clear() { windows_.clear(); }
  std::shared_ptr<RegisteredWindow> showing(std::string_view doc_id) const;

  // The saved list "openWindows", read back. `known(id)` says whether the library has the
  // document; ids beginning with "_" are kept all the same. None when there is no usable list.
  std::optional<std::vector<SavedWindow>> savedWindows(
      const std::function<bool(const std::string&)>& known) const;
  void saveOpenWindows();

  // Records written by `from` go to every other window, in registry order.
  void wrote(const json::array& records, const RegisteredWindow* from);

  // Settles every loaded window (each at most 3.0 s, by its own handshake) and then calls
  // `done`. A second call, or a call with no windows, calls `done` at once.
  void terminate(std::function<void()> done);
  bool quitting() const { return quitting_; }

 private:
  Prefs* prefs_;
  std::vector<std::shared_ptr<RegisteredWindow>> windows_;
  bool quitting_ = false;
};

}  // namespace qs::app
