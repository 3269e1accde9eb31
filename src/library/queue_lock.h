// The library queue: the one lock that guards the library's state. One thread may take it and
// another release it, so that a start on a thread of its own holds it from the constructor on.
// A holder may hold it back for later (holdBack); anyone who needs it meanwhile hurries it.
//
// Threads: any; lock, try_lock and unlock are what std::unique_lock asks of a lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <semaphore>

namespace qs::library {

class QueueLock {
 public:
  void lock() {
    if (held_.try_acquire()) return;
    hurry();  // whoever holds the queue back for later lets it go now
    held_.acquire();
  }
  bool try_lock() { return held_.try_acquire(); }
  void unlock() { held_.release(); }
  // For the holder: waits until hurry() or `limit`.
  void holdBack(std::chrono::milliseconds limit) {
    std::unique_lock lock(hurry_mutex_);
    hurry_cv_.wait_for(lock, limit, [this] { return hurried_.load(); });
  }
  void hurry() {
    if (hurried_.load()) return;
    {
      const std::lock_guard lock(hurry_mutex_);
      hurried_ = true;
    }
    hurry_cv_.notify_all();
  }

 private:
  std::binary_semaphore held_{1};
  std::atomic<bool> hurried_{false};
  std::mutex hurry_mutex_;
  std::condition_variable hurry_cv_;
};

// What a function holds while it works on the library's state; a function whose name ends in
// `Locked` takes one to show it expects the queue held.
using QueueGuard = std::unique_lock<QueueLock>;

}  // namespace qs::library
