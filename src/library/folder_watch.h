// The folder watch: notices what other programs change in the writing folder and hands the
// changed documents to every window.
//
// Events come from a FileEvents source. Paths inside the app's own ".quillstone" folders go to
// `onHidden` (after an overflow of the source, the ".quillstone" folder itself, since anything in
// it may have changed); any other change, and any overflow, schedules a check once the
// folder has been quiet for 0.5 s, so a burst of events costs one check. Events that never stop
// (a sync tool at work) would put the check off for ever: a check runs at the latest 2 s after
// the first event it answers.
//
// A sync tool's own files (its marker, temporary and lock files) never start a check of their
// own. When a check leaves something waiting (a package still arriving), `recheck` tells how long
// until it has waited long enough, and a check runs then.
//
// The check runs on `work` (the "quillstone.folderwatch" queue); at most one runs at a time,
// and requests made meanwhile share one more check after it. Its records come back to the main
// thread, go to `deliver` when there are any, and then to the callback of `look`.
//
// Threads: main thread only (the thread running `main`).
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/event_loop.h"
#include "core/json.h"
#include "library/file_events.h"

namespace qs::library {

class FolderWatch {
 public:
  // Compares the folder with what the library last read or wrote; the records to hand over.
  // Runs on `work`.
  using Check = std::function<json::array()>;
  // Hands a batch of records to every window.
  using Deliver = std::function<void(const json::array& records)>;
  // Told the changed paths inside ".quillstone" folders, in event order.
  using Hidden = std::function<void(std::vector<std::string> paths)>;
  using Then = std::function<void(const json::array& records)>;
  // Runs on `work` after each check: how long until the folder should be looked at again.
  using Recheck = std::function<std::optional<std::chrono::milliseconds>()>;

  static constexpr std::chrono::milliseconds kQuietPeriod{500};
  static constexpr std::chrono::milliseconds kLongestWait{2000};

  FolderWatch(EventLoop& main, SerialQueue& work, Check check, Deliver deliver, Hidden onHidden,
              Recheck recheck = nullptr);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Watches `folder` with `events`, in place of whatever was watched before. When the source
  // can't start, nothing is watched and nothing is reported.
  void start(const std::filesystem::path& folder, std::unique_ptr<FileEvents> events);
  // Stops watching; a scheduled check is dropped, one already running still delivers.
  void stop();

  // The changed paths of one batch of events.
  void changed(const std::vector<std::string>& paths);
  // Runs a check now (or right after the one running); `then` gets its records after they
  // were delivered.
  void look(Then then = nullptr);

 private:
  void received(const std::vector<std::string>& paths, bool overflow);
  void schedule();
  void due();
  void runCheck();
  void finished(const json::array& records, const std::vector<Then>& thens,
                std::optional<std::chrono::milliseconds> again_in);
  bool isOwnPath(std::string_view path) const;
  std::weak_ptr<const bool> token() const { return alive_; }

  EventLoop& main_;
  SerialQueue& work_;
  Check check_;
  Deliver deliver_;
  Hidden onHidden_;
  Recheck recheck_;
  std::string folder_;
  std::unique_ptr<FileEvents> events_;
  std::optional<EventLoop::TimerId> pending_;   // the quiet-period timer
  std::optional<EventLoop::TimerId> deadline_;  // the longest-wait timer
  std::optional<EventLoop::TimerId> recheck_timer_;
  bool checking_ = false;
  bool again_ = false;
  std::vector<Then> waiting_;  // callbacks of the next check
  // Timers and the check's reply hold this weakly: expired means the watch is gone.
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
  [[maybe_unused]] const std::thread::id main_thread_ = std::this_thread::get_id();
};

}  // namespace qs::library
