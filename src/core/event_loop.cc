#include "core/event_loop.h"

#include <pthread.h>

#include <algorithm>
#include <future>

#include "core/guarded.h"

namespace qs {

namespace {
// A task that throws must not end the process: the failure is logged and the worker goes on.
constexpr const char* kBackgroundTask = "a background task";
}  // namespace

ThreadSerialQueue::ThreadSerialQueue(std::string label)
    : label_(std::move(label)), worker_([this] { run(); }) {
  // Thread names are limited to 15 bytes; the tail of "quillstone.xxx" is the useful part.
  std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
  pthread_setname_np(worker_.native_handle(), name.c_str());
}

ThreadSerialQueue::~ThreadSerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void ThreadSerialQueue::async(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void ThreadSerialQueue::sync(Task task) {
  std::promise<void> done;
  async([&] {
    task();
    done.set_value();
  });
  done.get_future().wait();
}

void ThreadSerialQueue::run() {
  while (true) {
    Task task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;  // stopping, and everything queued has run
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    guarded(task, kBackgroundTask);
  }
}

WorkerPool::WorkerPool(std::size_t threads) {
  for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) {
    workers_.emplace_back([this] { run(); });
  }
}

WorkerPool::~WorkerPool() {
  stop();
}

void WorkerPool::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  std::lock_guard lock(mutex_);
  stopped_ = true;
  tasks_.clear();  // queued after the last worker looked: dropped
}

void WorkerPool::async(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void WorkerPool::run() {
  while (true) {
    Task task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    guarded(task, kBackgroundTask);
  }
}

void BlockingEventLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(task));
  }
  wake_.notify_one();
}

EventLoop::TimerId BlockingEventLoop::postAfter(std::chrono::milliseconds delay, Task task) {
  TimerId id;
  {
    std::lock_guard lock(mutex_);
    id = next_id_++;
    const auto due = Clock::now() + delay;
    timers_.emplace(std::make_pair(due, id), std::move(task));
    due_.emplace(id, due);
  }
  wake_.notify_one();
  return id;
}

void BlockingEventLoop::cancel(TimerId id) {
  std::lock_guard lock(mutex_);
  auto it = due_.find(id);
  if (it == due_.end()) return;
  timers_.erase({it->second, id});
  due_.erase(it);
}

void BlockingEventLoop::runUntil(const std::function<bool()>& done) {
  while (!done()) {
    Task task;
    {
      std::unique_lock lock(mutex_);
      while (!task) {
        if (!posted_.empty()) {
          task = std::move(posted_.front());
          posted_.pop_front();
        } else if (!timers_.empty() && timers_.begin()->first.first <= Clock::now()) {
          auto it = timers_.begin();
          due_.erase(it->first.second);
          task = std::move(it->second);
          timers_.erase(it);
        } else if (timers_.empty()) {
          wake_.wait(lock);
        } else {
          wake_.wait_until(lock, timers_.begin()->first.first);
        }
      }
    }
    guarded(task, kBackgroundTask);
  }
}

void ManualEventLoop::post(Task task) {
  std::lock_guard lock(mutex_);
  posted_.push_back(std::move(task));
}

EventLoop::TimerId ManualEventLoop::postAfter(std::chrono::milliseconds delay, Task task) {
  std::lock_guard lock(mutex_);
  TimerId id = next_id_++;
  auto due = now_ + delay;
  timers_.emplace(std::make_pair(due, id), std::move(task));
  due_.emplace(id, due);
  return id;
}

void ManualEventLoop::cancel(TimerId id) {
  std::lock_guard lock(mutex_);
  auto it = due_.find(id);
  if (it == due_.end()) return;
  timers_.erase({it->second, id});
  due_.erase(it);
}

void ManualEventLoop::runPending() {
  while (true) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (posted_.empty()) return;
      task = std::move(posted_.front());
      posted_.pop_front();
    }
    task();
  }
}

void ManualEventLoop::advance(std::chrono::milliseconds by) {
  const auto until = now_ + by;
  runPending();
  while (true) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (timers_.empty() || timers_.begin()->first.first > until) break;
      auto it = timers_.begin();
      now_ = it->first.first;
      due_.erase(it->first.second);
      task = std::move(it->second);
      timers_.erase(it);
    }
    task();
    runPending();
  }
  std::lock_guard lock(mutex_);
  now_ = until;
}

std::size_t ManualEventLoop::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

}  // namespace qs
