#include <glib.h>

#include "core/guarded.h"
#include "platform/glib_event_loop.h"

namespace qs {

namespace {

// Exceptions never cross into GLib: each task runs behind the wall.
constexpr const char* kMainLoopTask = "a main-loop task";

gboolean runOnce(gpointer data) {
  guarded(*static_cast<Task*>(data), kMainLoopTask);
  return G_SOURCE_REMOVE;
}

void deleteTask(gpointer data) {
  delete static_cast<Task*>(data);
}

}  // namespace

struct GLibEventLoop::Timer {
  GLibEventLoop* loop;
  TimerId id;
  Task task;
};

void GLibEventLoop::post(Task task) {
  g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, new Task(std::move(task)), deleteTask);
}

EventLoop::TimerId GLibEventLoop::postAfter(std::chrono::milliseconds delay, Task task) {
  std::lock_guard guard(mutex_);
  const TimerId id = next_id_++;
  auto* timer = new Timer{this, id, std::move(task)};
  const auto ms = static_cast<guint>(std::max<std::int64_t>(0, delay.count()));
  sources_[id] = g_timeout_add_full(G_PRIORITY_DEFAULT, ms, &GLibEventLoop::fire, timer,
                                    &GLibEventLoop::release);
  return id;
}

void GLibEventLoop::cancel(TimerId id) {
  unsigned source = 0;
  {
    std::lock_guard guard(mutex_);
    auto it = sources_.find(id);
    if (it == sources_.end()) return;
    source = it->second;
    sources_.erase(it);
  }
  g_source_remove(source);
}

int GLibEventLoop::fire(void* data) {
  auto* timer = static_cast<Timer*>(data);
  {
    std::lock_guard guard(timer->loop->mutex_);
    timer->loop->sources_.erase(timer->id);
  }
  guarded(timer->task, kMainLoopTask);
  return G_SOURCE_REMOVE;
}

void GLibEventLoop::release(void* data) {
  delete static_cast<Timer*>(data);
}

}  // namespace qs
