#include "library/inotify_watcher.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/system_log.h"

namespace qs::library {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                        IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                        IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK | IN_DONT_FOLLOW;

constexpr const char* kWatchLimitLine =
    "the folder watch reached the system's limit of watches "
    "(fs.inotify.max_user_watches); changes in some folders are found by a full check only";

// Whether `folder` is where a file system is mounted.
bool isMountPoint(const std::string& folder) {
  struct stat self {};
  struct stat parent {};
  return ::stat(folder.c_str(), &self) == 0 && ::stat((folder + "/..").c_str(), &parent) == 0 &&
         self.st_dev != parent.st_dev;
}

// The folder as the paths below it are spelled: no "." or ".." parts, no trailing "/".
std::string spelled(const fs::path& folder) {
  std::string s = folder.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

std::vector<InotifyEvent> parseInotifyEvents(std::span<const std::byte> buffer) {
  std::vector<InotifyEvent> events;
  std::size_t offset = 0;
  while (buffer.size() - offset >= sizeof(inotify_event)) {
    inotify_event header;
    std::memcpy(&header, buffer.data() + offset, sizeof header);
    offset += sizeof header;
    if (header.len > buffer.size() - offset) break;
    // The name is padded with NULs to the record's length.
    const char* name = reinterpret_cast<const char*>(buffer.data() + offset);
    events.push_back(
        {header.wd, header.mask, header.cookie, std::string(name, strnlen(name, header.len))});
    offset += header.len;
  }
  return events;
}

InotifyWatcher::InotifyWatcher(EventLoop& main) : main_(main) {}

InotifyWatcher::~InotifyWatcher() {
  stop();
}

bool InotifyWatcher::start(const fs::path& folder, Callback callback) {
  assert(std::this_thread::get_id() == main_thread_);
  stop();
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  bool watching = false;
  if (inotifyFd_ >= 0 && stopFd_ >= 0) {
    std::lock_guard lock(mutex_);
    root_ = spelled(folder);
    // The folder itself is watched before start returns; the folders below it are walked on the
    // reader thread, since a big tree takes seconds.
    watching = addWatchLocked(root_) != Added::Failed;
    rootIsMount_ = isMountPoint(root_);
  }
  if (!watching) {
    stop();
    return false;
  }
  callback_ = std::move(callback);
  stopping_ = false;
  walking_ = true;
  reader_ = std::thread([this, inotifyFd = inotifyFd_, stopFd = stopFd_] {
    // Watching matters less than the program's start, which the walk would compete with; the
    // thread only gathers paths afterwards, for batches that wait kLatency anyway.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kReaderNiceness);
    walkBelowRoot();
    walking_ = false;
    readEvents(inotifyFd, stopFd);
  });
  pthread_setname_np(reader_.native_handle(), "qs-folderwatch");
  return true;
}

// Events on a folder already watched wait in the kernel's queue until the walk is done, and are
// read then. A change in a folder made before its watch came is seen by nobody: so when the walk
// watched any folder below the top one, the batch says changes may have been lost, and the
// owner's full check finds them. Nothing that was there is reported on its own: it is not news.
void InotifyWatcher::walkBelowRoot() {
  std::string root;
  {
    std::lock_guard lock(mutex_);
    root = root_;
  }
  std::vector<std::string> folders{root};
  bool below = false;
  while (!folders.empty() && !stopping_) {
    std::string folder = std::move(folders.back());
    folders.pop_back();
    // One folder at a time under the lock, so that the main thread is never held up for long.
    std::lock_guard lock(mutex_);
    if (root_ != root || rootLost_) return;
    if (folder != root) {
      const Added added = addWatchLocked(folder);
      if (added == Added::Failed) continue;
      below = below || added == Added::New;
    }
    listFolderLocked(folder, Listing::Quiet, folders);
  }
  if (below && !stopping_) {
    std::lock_guard lock(mutex_);
    if (root_ == root) noteOverflowLocked();
  }
}

void InotifyWatcher::stop() {
  assert(std::this_thread::get_id() == main_thread_);
  stopping_ = true;  // a walk under way ends at its next folder
  if (reader_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(stopFd_, &one, sizeof one);
    reader_.join();
  }
  // Closing the descriptor removes every watch.
  if (inotifyFd_ >= 0) ::close(std::exchange(inotifyFd_, -1));
  if (stopFd_ >= 0) ::close(std::exchange(stopFd_, -1));
  {
    std::lock_guard lock(mutex_);
    if (flushTimer_) main_.cancel(*flushTimer_);
    flushTimer_.reset();
    if (pollTimer_) main_.cancel(*pollTimer_);
    pollTimer_.reset();
    if (unwatchedTimer_) main_.cancel(*unwatchedTimer_);
    unwatchedTimer_.reset();
    unwatched_ = false;
    rootLost_ = false;
    root_.clear();
    folderOf_.clear();
    watchOf_.clear();
    batch_.clear();
    inBatch_.clear();
    overflow_ = false;
  }
  callback_ = nullptr;
}

std::size_t InotifyWatcher::watchCountForTesting() const {
  std::lock_guard lock(mutex_);
  return folderOf_.size();
}

std::optional<int> InotifyWatcher::watchForTesting(const std::string& folder) const {
  std::lock_guard lock(mutex_);
  auto it = watchOf_.find(folder);
  if (it == watchOf_.end()) return std::nullopt;
  return it->second;
}

void InotifyWatcher::handleBufferForTesting(std::span<const std::byte> buffer) {
  handleBuffer(buffer);
}

void InotifyWatcher::setWatchLimitForTesting(std::optional<std::size_t> limit) {
  std::lock_guard lock(mutex_);
  watchLimit_ = limit;
}

void InotifyWatcher::setRootPollForTesting(std::chrono::milliseconds period) {
  std::lock_guard lock(mutex_);
  rootPoll_ = period;
}

void InotifyWatcher::readEvents(int inotifyFd, int stopFd) {
  alignas(inotify_event) std::byte buffer[64 * 1024];
  pollfd fds[] = {{inotifyFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  while (true) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
    while (true) {
      const ssize_t got = ::read(inotifyFd, buffer, sizeof buffer);
      if (got > 0) {
        handleBuffer({buffer, static_cast<std::size_t>(got)});
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else {
        break;  // drained (EAGAIN)
      }
    }
  }
}

void InotifyWatcher::handleBuffer(std::span<const std::byte> buffer) {
  const auto events = parseInotifyEvents(buffer);
  std::lock_guard lock(mutex_);
  for (const auto& event : events) handleLocked(event);
}

void InotifyWatcher::handleLocked(const InotifyEvent& event) {
  if (event.mask & IN_Q_OVERFLOW) {
    noteOverflowLocked();
    // Folders made while events were lost have no watch yet.
    if (!root_.empty() && !rootLost_) watchTreeLocked(root_, Listing::ReportNewFolders);
    return;
  }
  const auto found = folderOf_.find(event.wd);
  if (found == folderOf_.end()) return;  // a watch dropped since
  const std::string folder = found->second;
  if (folder == root_ && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED))) {
    rootLostLocked();
    return;
  }
  if (event.mask & IN_IGNORED) {
    folderOf_.erase(found);
    auto it = watchOf_.find(folder);
    if (it != watchOf_.end() && it->second == event.wd) watchOf_.erase(it);
    return;
  }
  const std::string path = event.name.empty() ? folder : folder + '/' + event.name;
  noteLocked(path);
  if (event.mask & IN_ISDIR) {
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
      watchTreeLocked(path, Listing::ReportNewFolders);
    } else if (event.mask & IN_MOVED_FROM) {
      // Watches follow the folder, not its name: wherever it went, its old paths are wrong now.
      // If it went somewhere in the tree, IN_MOVED_TO watches it again under the new name.
      unwatchTreeLocked(path);
    }
  }
}

InotifyWatcher::Added InotifyWatcher::addWatchLocked(const std::string& folder) {
  int wd = -1;
  if (watchLimit_ && folderOf_.size() >= *watchLimit_) {
    errno = ENOSPC;
  } else {
    // The watched folder is followed when it is a link (people keep it in a synced folder and
    // link it); nothing below it is.
    const std::uint32_t mask = folder == root_ ? kFolderEvents & ~IN_DONT_FOLLOW : kFolderEvents;
    wd = inotify_add_watch(inotifyFd_, folder.c_str(), mask);
  }
  if (wd < 0) {
    // Gone again, not a folder or not readable: nothing to watch. The watch limit, though,
    // means changes go unseen, which only a full check can make up for.
    if (errno == ENOSPC) limitReachedLocked();
    return Added::Failed;
  }
  // The kernel hands back the existing descriptor for a folder already watched.
  auto known = folderOf_.find(wd);
  if (known != folderOf_.end()) {
    if (known->second == folder) return Added::Known;
    watchOf_.erase(known->second);  // moved while its events were lost
  }
  folderOf_[wd] = folder;
  watchOf_[folder] = wd;
  return Added::New;
}

void InotifyWatcher::watchTreeLocked(const std::string& top, Listing listing) {
  std::vector<std::string> folders{top};
  while (!folders.empty() && !stopping_) {
    const std::string folder = std::move(folders.back());
    folders.pop_back();
    const Added added = addWatchLocked(folder);
    if (added == Added::Failed) continue;
    listFolderLocked(folder, added == Added::New ? listing : Listing::Quiet, folders);
  }
}

// Listed after the watch exists: a file made in between is seen twice at worst.
void InotifyWatcher::listFolderLocked(const std::string& folder, Listing listing,
                                      std::vector<std::string>& folders) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string path = it->path().string();
    std::error_code status_ec;
    if (it->symlink_status(status_ec).type() == fs::file_type::directory) folders.push_back(path);
    if (listing == Listing::ReportNewFolders) noteLocked(std::move(path));
  }
}

void InotifyWatcher::unwatchTreeLocked(const std::string& top) {
  auto drop = [this](std::map<std::string, int>::iterator it) {
    inotify_rm_watch(inotifyFd_, it->second);
    folderOf_.erase(it->second);
    return watchOf_.erase(it);
  };
  if (auto it = watchOf_.find(top); it != watchOf_.end()) drop(it);
  // Everything below `top` sorts from top + "/" up to top + "0" ("0" follows "/").
  const auto below_end = watchOf_.lower_bound(top + '0');
  for (auto it = watchOf_.lower_bound(top + '/'); it != below_end;) it = drop(it);
}

void InotifyWatcher::noteLocked(std::string path) {
  if (inBatch_.insert(path).second) batch_.push_back(std::move(path));
  scheduleFlushLocked();
}

void InotifyWatcher::noteOverflowLocked() {
  overflow_ = true;
  scheduleFlushLocked();
}

// The first news of a batch starts its timer; the batch goes out when it fires.
void InotifyWatcher::scheduleFlushLocked() {
  if (flushTimer_) return;
  flushTimer_ = main_.postAfter(kLatency, [this, alive = std::weak_ptr<const bool>(alive_)] {
    if (!alive.expired()) flush();
  });
}

// The watched folder was moved away, deleted or unmounted: its watches, and those below it, no
// longer stand for its path. Whatever is at the path later is looked for by pollRoot.
void InotifyWatcher::rootLostLocked() {
  if (std::exchange(rootLost_, true)) return;
  unwatchTreeLocked(root_);
  noteLocked(root_);
  systemLog(
      "the writing folder %s went away (moved, deleted or unmounted); it is watched again when it "
      "is back",
      root_.c_str());
  schedulePollLocked();
}

void InotifyWatcher::schedulePollLocked() {
  pollTimer_ = main_.postAfter(rootPoll_, [this, alive = std::weak_ptr<const bool>(alive_)] {
    if (!alive.expired()) pollRoot();
  });
}

void InotifyWatcher::pollRoot() {
  assert(std::this_thread::get_id() == main_thread_);
  std::lock_guard lock(mutex_);
  pollTimer_.reset();
  if (!rootLost_ || root_.empty()) return;
  struct stat st {};
  // A writing folder that is a mount point is back only once something is mounted there again:
  // the empty folder beneath, where every document would seem deleted, is not it.
  if (::stat(root_.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
      (!rootIsMount_ || isMountPoint(root_))) {
    watchTreeLocked(root_, Listing::Quiet);
    if (watchOf_.contains(root_)) {
      rootLost_ = false;
      systemLog("the writing folder %s is back; it is watched again", root_.c_str());
      // Anything may have changed while it was away.
      noteOverflowLocked();
      return;
    }
  }
  schedulePollLocked();
}

// Changes in a folder left unwatched are never reported: until a walk finds room for every
// folder, the owner is asked for a full check at every poll.
void InotifyWatcher::limitReachedLocked() {
  noteOverflowLocked();
  if (!std::exchange(limitLogged_, true)) systemLog("%s", kWatchLimitLine);
  unwatched_ = true;
  if (unwatchedTimer_) return;
  pollsSinceWalk_ = 0;
  scheduleUnwatchedPollLocked();
}

void InotifyWatcher::scheduleUnwatchedPollLocked() {
  unwatchedTimer_ = main_.postAfter(rootPoll_, [this, alive = std::weak_ptr<const bool>(alive_)] {
    if (!alive.expired()) pollUnwatched();
  });
}

void InotifyWatcher::pollUnwatched() {
  assert(std::this_thread::get_id() == main_thread_);
  std::lock_guard lock(mutex_);
  unwatchedTimer_.reset();
  // A writing folder that went away is walked again when it is back.
  if (!unwatched_ || root_.empty() || rootLost_) return;
  noteOverflowLocked();
  if (++pollsSinceWalk_ < kLimitRetry) return scheduleUnwatchedPollLocked();
  // Watches may have become free (folders removed, the limit raised): walk the tree again. If
  // the limit is reached again, the polls start over.
  unwatched_ = false;
  watchTreeLocked(root_, Listing::ReportNewFolders);
}

void InotifyWatcher::flush() {
  std::vector<std::string> paths;
  bool overflow = false;
  {
    std::lock_guard lock(mutex_);
    flushTimer_.reset();
    paths.swap(batch_);
    inBatch_.clear();
    overflow = std::exchange(overflow_, false);
  }
  if ((paths.empty() && !overflow) || !callback_) return;
  // A copy: the callback may destroy this watcher, and callback_ with it.
  Callback callback = callback_;
  callback(std::move(paths), overflow);
}

}  // namespace qs::library
