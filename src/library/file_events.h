// Change notification for a whole folder tree: the platform service under the folder watch.
//
// Threads: start, stop and the destructor are called on the thread that runs the EventLoop the
// implementation was made with (the main thread), and the callback runs there too.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/event_loop.h"

namespace qs::library {

class FileEvents {
 public:
  // `paths`: the changed paths of one batch, each once, in the order they were first seen, all
  // below the watched folder (or the folder itself). `overflow`: changes were lost somewhere in
  // the tree, so only a full check can tell what changed.
  using Callback = std::function<void(std::vector<std::string> paths, bool overflow)>;

  virtual ~FileEvents() = default;

  // Watches `folder` and everything below it from now on (no history); restarts when running.
  // False when the folder can't be watched: then nothing is reported.
  [[nodiscard]] virtual bool start(const std::filesystem::path& folder, Callback callback) = 0;
  // No callback runs after stop returns. Stopping a stopped source does nothing.
  virtual void stop() = 0;
};

}  // namespace qs::library
