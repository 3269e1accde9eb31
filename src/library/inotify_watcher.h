// FileEvents on Linux: inotify watches on the folder and on every folder below it, read by a
// thread of the watcher's own and handed to the main loop in batches.
//
// inotify is not recursive and loses events in a few known ways; this is how each is met:
//  - the folders below the watched one get their watches on the reader thread, after start has
//    returned: a change in one of them before its watch is reported as an overflow;
//  - a new folder gets its watch only after it appeared, so whatever was written into it before
//    is never reported: the new folder is listed once watched and everything in it is reported;
//  - a full event queue (IN_Q_OVERFLOW) and the watch limit (inotify_add_watch failing with
//    ENOSPC) lose events: both are reported as an overflow, after which the owner checks the
//    whole folder; after a queue overflow the tree is walked again for folders left unwatched.
//    The limit is said once on standard error. While it leaves folders unwatched, an overflow
//    is reported every kRootPoll, so the owner's full check finds what changed in them, and every
//    kLimitRetry the tree is walked again in case watches became free;
//  - a rename arrives as IN_MOVED_FROM / IN_MOVED_TO, not always together: each path is reported
//    as it comes; a folder moved away loses its watches, one moved in is watched and listed;
//  - the watched folder itself may be moved away, deleted or unmounted, and come back later (a
//    sync tool making it again, a restore from a backup): its loss is said once on standard
//    error, the path is looked for every kRootPoll, and once it is a folder again it is watched
//    again and reported as an overflow, since anything may have changed meanwhile.
// The watched folder is followed when it is a symbolic link; links below it never are.
//
// Threads: as FileEvents; the reader thread only collects paths and never calls the callback,
// so the watcher may be destroyed from inside its own callback.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/event_loop.h"
#include "library/file_events.h"

namespace qs::library {

// One record of the kernel's inotify buffer.
struct InotifyEvent {
  int wd = -1;
  std::uint32_t mask = 0;
  std::uint32_t cookie = 0;
  std::string name;  // empty for events on the watched folder itself
};

// The events in `buffer` as read(2) filled it. A record cut short at the end is left out.
std::vector<InotifyEvent> parseInotifyEvents(std::span<const std::byte> buffer);

class InotifyWatcher final : public FileEvents {
 public:
  // How long a batch collects paths after its first one before it is handed over.
  static constexpr std::chrono::milliseconds kLatency{200};
  // How often a watched folder that went away is looked for, and how often a full check is asked
  // for while the watch limit leaves folders unwatched.
  static constexpr std::chrono::milliseconds kRootPoll{2000};
  // How often, in polls, the tree is walked again while the watch limit left folders unwatched.
  static constexpr int kLimitRetry = 15;
  // The reader thread's niceness: its walk of the tree yields to the program's start.
  static constexpr int kReaderNiceness = 10;

  explicit InotifyWatcher(EventLoop& main);
  ~InotifyWatcher() override;
  InotifyWatcher(const InotifyWatcher&) = delete;
  InotifyWatcher& operator=(const InotifyWatcher&) = delete;

  [[nodiscard]] bool start(const std::filesystem::path& folder, Callback callback) override;
  void stop() override;

  // The number of folders watched.
  std::size_t watchCountForTesting() const;
  // Whether the walk that start began is still under way.
  bool walkingForTesting() const { return walking_; }
  // The watch descriptor of a watched folder.
  std::optional<int> watchForTesting(const std::string& folder) const;
  // Handles `buffer` as if the reader thread had read it from the kernel.
  void handleBufferForTesting(std::span<const std::byte> buffer);
  // Makes inotify_add_watch fail with ENOSPC once this many folders are watched.
  void setWatchLimitForTesting(std::optional<std::size_t> limit);
  // The poll period (kRootPoll).
  void setRootPollForTesting(std::chrono::milliseconds period);

 private:
  enum class Added { Failed, New, Known };
  enum class Listing { Quiet, ReportNewFolders };

  void readEvents(int inotifyFd, int stopFd);
  void handleBuffer(std::span<const std::byte> buffer);
  void handleLocked(const InotifyEvent& event);
  Added addWatchLocked(const std::string& folder);
  void walkBelowRoot();
  void watchTreeLocked(const std::string& top, Listing listing);
  void listFolderLocked(const std::string& folder, Listing listing,
                        std::vector<std::string>& folders);
  void unwatchTreeLocked(const std::string& top);
  void noteLocked(std::string path);
  void noteOverflowLocked();
  void scheduleFlushLocked();
  void flush();
  void rootLostLocked();
  void schedulePollLocked();
  void pollRoot();
  void limitReachedLocked();
  void scheduleUnwatchedPollLocked();
  void pollUnwatched();

  EventLoop& main_;
  Callback callback_;  // main thread only
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
  int inotifyFd_ = -1;
  int stopFd_ = -1;
  std::thread reader_;
  std::atomic<bool> stopping_ = false;
  std::atomic<bool> walking_ = false;

  mutable std::mutex mutex_;  // guards everything below
  std::string root_;
  std::unordered_map<int, std::string> folderOf_;  // watch descriptor -> folder
  std::map<std::string, int> watchOf_;  // folder -> watch descriptor, sorted for subtrees
  std::vector<std::string> batch_;
  std::unordered_set<std::string> inBatch_;
  bool overflow_ = false;
  std::optional<EventLoop::TimerId> flushTimer_;
  bool rootLost_ = false;
  bool rootIsMount_ = false;
  std::optional<EventLoop::TimerId> pollTimer_;
  bool limitLogged_ = false;
  // Folders are left unwatched for the watch limit; polled every rootPoll_ while so.
  bool unwatched_ = false;
  int pollsSinceWalk_ = 0;
  std::optional<EventLoop::TimerId> unwatchedTimer_;
  std::optional<std::size_t> watchLimit_;
  std::chrono::milliseconds rootPoll_{kRootPoll};
  [[maybe_unused]] const std::thread::id main_thread_ = std::this_thread::get_id();
};

}  // namespace qs::library
