// A thread-safe EventLoop on the real clock for tests of real file events: tasks run on the
// test's thread inside runUntil, which gives up after a time limit instead of hanging.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "core/event_loop.h"

namespace qs::testing {

class RealTimeLoop final : public EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  void post(Task task) override { postAfter(std::chrono::milliseconds(0), std::move(task)); }
  TimerId postAfter(std::chrono::milliseconds delay, Task task) override {
    std::lock_guard lock(mutex_);
    timers_.emplace(std::pair(Clock::now() + delay, next_id_), std::move(task));
    return next_id_++;
  }
  void cancel(TimerId id) override {
    std::lock_guard lock(mutex_);
    std::erase_if(timers_, [id](const auto& timer) { return timer.first.second == id; });
  }
  // Runs tasks as they fall due until `done` holds; false if that takes longer than `limit`.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    for (const auto end = Clock::now() + limit; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
      if (Clock::now() > end) return false;
      while (Task task = takeDue()) task();
    }
    return true;
  }
  void runFor(std::chrono::milliseconds period) {
    runUntil([] { return false; }, period);
  }

 private:
  Task takeDue() {
    std::lock_guard lock(mutex_);
    if (timers_.empty() || timers_.begin()->first.first > Clock::now()) return nullptr;
    return std::move(timers_.extract(timers_.begin()).mapped());
  }
  std::mutex mutex_;
  std::map<std::pair<Clock::time_point, TimerId>, Task> timers_;
  TimerId next_id_ = 1;
};

}  // namespace qs::testing
