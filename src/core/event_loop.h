// Scheduling without GLib: the core is handed an EventLoop (the main thread's loop) and
// SerialQueues (one worker each). The desktop passes the GLib loop; tests pass ManualEventLoop,
// whose clock they advance, so timers are tested without sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qs {

using Task = std::function<void()>;

// The main thread's loop. post and postAfter may be called from any thread; tasks run on the
// loop's thread in the order posted (timers by due time, then order).
class EventLoop {
 public:
  using TimerId = std::uint64_t;
  virtual ~EventLoop() = default;
  virtual void post(Task task) = 0;
  virtual TimerId postAfter(std::chrono::milliseconds delay, Task task) = 0;
  // Cancelling a timer that ran or was cancelled does nothing.
  virtual void cancel(TimerId id) = 0;
};

// Runs tasks one at a time, in order, away from the caller.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;
  virtual void async(Task task) = 0;
  // Runs `task` on the queue and waits for it. Never call from the queue itself.
  virtual void sync(Task task) = 0;
};

// A SerialQueue with one worker thread of its own, named `label`. The destructor runs every
// task already queued, then joins the worker.
class ThreadSerialQueue final : public SerialQueue {
 public:
  explicit ThreadSerialQueue(std::string label);
  ~ThreadSerialQueue() override;
  void async(Task task) override;
  void sync(Task task) override;

 private:
  void run();

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool stopping_ = false;
  std::thread worker_;
};

// An EventLoop for tests: nothing runs until the test advances the clock or drains the queue.
// Single-threaded use, except that post may come from other threads.
class ManualEventLoop final : public EventLoop {
 public:
  void post(Task task) override;
  TimerId postAfter(std::chrono::milliseconds delay, Task task) override;
  void cancel(TimerId id) override;

  // Runs posted tasks (and tasks they post) until none is left; timers not yet due stay.
  void runPending();
  // Moves the clock forward, running timers as they fall due and posted tasks between them.
  void advance(std::chrono::milliseconds by);
  std::chrono::milliseconds now() const { return now_; }
  std::size_t pendingTimers() const;

 private:
  mutable std::mutex mutex_;
  std::deque<Task> posted_;
  std::map<std::pair<std::chrono::milliseconds, TimerId>, Task> timers_;
  std::map<TimerId, std::chrono::milliseconds> due_;
  std::chrono::milliseconds now_{0};
  TimerId next_id_ = 1;
};

// A few worker threads for background work that need not run in order ("open", "write",
// "snapshot").
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads = 2);
  // Stops the pool (below).
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Queues `task`; after stop() it is dropped.
  void async(Task task);
  // Runs every task already queued, and any those queue, then joins the workers; returns when
  // all of it is done. What the tasks use must outlive this call, so a program stops its pool
  // before it lets go of the objects the work touches. Not from a worker; idempotent.
  void stop();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool stopping_ = false;
  bool stopped_ = false;  // the workers have ended
  std::vector<std::thread> workers_;
};

// A real-time EventLoop for programs without GLib (the command-line tool): tasks and timers
// run on the thread that calls runUntil. post, postAfter and cancel may come from any thread.
class BlockingEventLoop final : public EventLoop {
 public:
  void post(Task task) override;
  TimerId postAfter(std::chrono::milliseconds delay, Task task) override;
  void cancel(TimerId id) override;
  // Runs posted tasks, and timers as they fall due, until `done` holds. `done` is checked on
  // this thread between tasks, so it may read state that only tasks change.
  void runUntil(const std::function<bool()>& done);

 private:
  using Clock = std::chrono::steady_clock;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> posted_;
  std::map<std::pair<Clock::time_point, TimerId>, Task> timers_;
  std::map<TimerId, Clock::time_point> due_;
  TimerId next_id_ = 1;
};

// A SerialQueue for tests that runs each task at once on the caller's thread.
class InlineSerialQueue final : public SerialQueue {
 public:
  void async(Task task) override { task(); }
  void sync(Task task) override { task(); }
};

}  // namespace qs
