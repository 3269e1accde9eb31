#include "library/file_events.h"

#include "library/inotify_watcher.h"

namespace qs::library {

std::unique_ptr<FileEvents> makeFileEvents(EventLoop& main) {
  return std::make_unique<InotifyWatcher>(main);
}

}  // namespace qs::library
