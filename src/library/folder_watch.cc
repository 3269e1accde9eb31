#include "library/folder_watch.h"

#include <cassert>
#include <cstdio>
#include <exception>
#include <utility>

#include "core/system_log.h"
#include "library/sync_names.h"

namespace qs::library {

FolderWatch::FolderWatch(EventLoop& main, SerialQueue& work, Check check, Deliver deliver,
                         Hidden onHidden, Recheck recheck)
    : main_(main),
      work_(work),
      check_(std::move(check)),
      deliver_(std::move(deliver)),
      onHidden_(std::move(onHidden)),
      recheck_(std::move(recheck)) {}

FolderWatch::~FolderWatch() {
  stop();
}

void FolderWatch::start(const std::filesystem::path& folder, std::unique_ptr<FileEvents> events) {
  assert(std::this_thread::get_id() == main_thread_);
  stop();
  std::string spelled = folder.lexically_normal().string();
  while (spelled.size() > 1 && spelled.back() == '/') spelled.pop_back();
  folder_ = std::move(spelled);
  if (!events) return;
  events_ = std::move(events);
  auto callback = [this, alive = token()](std::vector<std::string> paths, bool overflow) {
    if (!alive.expired()) received(paths, overflow);
  };
  if (!events_->start(folder_, std::move(callback))) events_.reset();
}

void FolderWatch::stop() {
  assert(std::this_thread::get_id() == main_thread_);
  if (events_) events_->stop();
  events_.reset();
  if (pending_) main_.cancel(*pending_);
  if (deadline_) main_.cancel(*deadline_);
  if (recheck_timer_) main_.cancel(*recheck_timer_);
  pending_.reset();
  deadline_.reset();
  recheck_timer_.reset();
}

void FolderWatch::received(const std::vector<std::string>& paths, bool overflow) {
  changed(paths);
  if (!overflow) return;
  // Lost events may have been anywhere, the app's own folders included.
  if (onHidden_) onHidden_({folder_ + "/.quillstone"});
  schedule();
}

void FolderWatch::changed(const std::vector<std::string>& paths) {
  assert(std::this_thread::get_id() == main_thread_);
  std::vector<std::string> own;
  bool others = false;
  for (const auto& path : paths) {
    if (isOwnPath(path)) {
      own.push_back(path);
    } else if (!isSyncToolPath(path, folder_)) {
      others = true;
    }
  }
  if (!own.empty() && onHidden_) onHidden_(std::move(own));
  if (others) schedule();
}

// Judged below the watched folder, so that a writing folder which itself lies inside some
// ".quillstone" folder is still watched.
bool FolderWatch::isOwnPath(std::string_view path) const {
  std::string_view below = path;
  if (!folder_.empty() && below.starts_with(folder_) &&
      (below.size() == folder_.size() || below[folder_.size()] == '/')) {
    below.remove_prefix(folder_.size());
  }
  return below.find("/.quillstone/") != std::string_view::npos || below.ends_with("/.quillstone");
}

void FolderWatch::schedule() {
  if (pending_) main_.cancel(*pending_);
  pending_ = main_.postAfter(kQuietPeriod, [this, alive = token()] {
    if (!alive.expired()) due();
  });
  if (!deadline_) {
    deadline_ = main_.postAfter(kLongestWait, [this, alive = token()] {
      if (!alive.expired()) due();
    });
  }
}

void FolderWatch::due() {
  // One of the two timers fired; cancelling a timer that ran does nothing.
  if (pending_) main_.cancel(*pending_);
  if (deadline_) main_.cancel(*deadline_);
  pending_.reset();
  deadline_.reset();
  look();
}

void FolderWatch::look(Then then) {
  assert(std::this_thread::get_id() == main_thread_);
  if (then) waiting_.push_back(std::move(then));
  if (checking_) {
    // The running check may have looked before the change that asked for this one.
    again_ = true;
    return;
  }
  runCheck();
}

void FolderWatch::runCheck() {
  checking_ = true;
  again_ = false;
  std::vector<Then> thens = std::exchange(waiting_, {});
  // The task holds copies only: the watch may be gone by the time it runs.
  work_.async([check = check_, recheck = recheck_, &main = main_, alive = token(), this,
               thens = std::move(thens)] {
    json::array records;
    std::optional<std::chrono::milliseconds> again_in;
    try {
      records = check();
      if (recheck) again_in = recheck();
    } catch (const std::exception& e) {
      records.clear();
      systemLog("the folder check failed: %s", e.what());
    } catch (...) {
      records.clear();
      systemLog("the folder check failed");
    }
    main.post([alive, this, records = std::move(records), thens, again_in] {
      if (!alive.expired()) finished(records, thens, again_in);
    });
  });
}

void FolderWatch::finished(const json::array& records, const std::vector<Then>& thens,
                           std::optional<std::chrono::milliseconds> again_in) {
  const auto alive = token();
  checking_ = false;
  if (again_in && events_) {
    if (recheck_timer_) main_.cancel(*recheck_timer_);
    recheck_timer_ = main_.postAfter(*again_in, [this, alive = token()] {
      if (alive.expired()) return;
      recheck_timer_.reset();
      look();
    });
  }
  if (!records.empty() && deliver_) deliver_(records);
  for (const auto& then : thens) {
    then(records);
    if (alive.expired()) return;
  }
  if (again_ && !checking_) runCheck();
}

}  // namespace qs::library
