// The EventLoop of the desktop program: the GLib main context of the main thread.
// post and postAfter may be called from any thread; cancel from the main thread only.
#pragma once

#include <mutex>
#include <unordered_map>

#include "core/event_loop.h"

namespace qs {

class GLibEventLoop final : public EventLoop {
 public:
  void post(Task task) override;
  TimerId postAfter(std::chrono::milliseconds delay, Task task) override;
  void cancel(TimerId id) override;

 private:
  struct Timer;
  static int fire(void* data);
  static void release(void* data);

  std::mutex mutex_;
  std::unordered_map<TimerId, unsigned> sources_;  // timers not yet run
  TimerId next_id_ = 1;
};

}  // namespace qs
