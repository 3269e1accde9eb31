// quillstone-cli bridge: the page's host messages, without a page. Each line of standard input
// is one message (any JSON; a line that isn't JSON is answered like a message that isn't an
// object). Each reply is one line of standard output: {"value": V} with V exactly what the
// page's promise would be given before decoding, or {"error": TEXT}. Replies are printed as the
// work ends, so a slow "open" may be answered after a later message. At the end of the input
// the tool waits for every outstanding reply, then exits 0.
#include <stdio.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "bridge/host_messages.h"
#include "cli/commands.h"
#include "core/json.h"

namespace qs::cli {

namespace {

// The tool's main loop: tasks and timers run on the thread that calls run_until. post,
// post_after and cancel may be called from any thread.
class BlockingEventLoop final : public EventLoop {
 public:
  void post(Task task) override {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(std::move(task));
    }
    wake_.notify_one();
  }

  TimerId post_after(std::chrono::milliseconds delay, Task task) override {
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

  void cancel(TimerId id) override {
    std::lock_guard lock(mutex_);
    auto it = due_.find(id);
    if (it == due_.end()) return;
    timers_.erase({it->second, id});
    due_.erase(it);
  }

  // Runs posted tasks, and timers as they fall due, until `done` holds. `done` is checked on
  // this thread between tasks, so it may read state that only tasks change.
  void run_until(const std::function<bool()>& done) {
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
      task();
    }
  }

 private:
  using Clock = std::chrono::steady_clock;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> posted_;
  std::map<std::pair<Clock::time_point, TimerId>, Task> timers_;
  std::map<TimerId, Clock::time_point> due_;
  TimerId next_id_ = 1;
};

// The bytes of `s` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string valid_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (c < 0x80) {
      length = 1;
    } else if (c >= 0xc2 && c <= 0xdf) {
      length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      length = 3;
      if (c == 0xe0) low = 0xa0;   // overlong
      if (c == 0xed) high = 0x9f;  // surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
      length = 4;
      if (c == 0xf0) low = 0x90;   // overlong
      if (c == 0xf4) high = 0x8f;  // beyond U+10FFFF
    }
    bool ok = length > 0 && i + length <= s.size();
    for (std::size_t k = 1; ok && k < length; ++k) {
      const unsigned char b = byte(i + k);
      ok = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xbf);
    }
    if (ok) {
      out.append(s.substr(i, length));
      i += length;
    } else {
      out += "\xef\xbf\xbd";
      ++i;
    }
  }
  return out;
}

// A reply value the JSON writer refused, as the page would get it from the platform's own
// conversion: non-finite numbers become null, text that isn't UTF-8 is repaired.
json::value page_objects(const json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::double_:
      return std::isfinite(v.get_double()) ? v : json::value(nullptr);
    case boost::json::kind::string:
      return json::value(valid_utf8(v.get_string()));
    case boost::json::kind::array: {
      json::array out;
      out.reserve(v.get_array().size());
      for (const auto& e : v.get_array()) out.push_back(page_objects(e));
      return out;
    }
    case boost::json::kind::object: {
      json::object out;
      for (const auto& kv : v.get_object()) {
        out[valid_utf8(kv.key())] = page_objects(kv.value());
      }
      return out;
    }
    default:
      return v;
  }
}

void print_reply(const bridge::PlatformReply& reply) {
  std::optional<std::string> line;
  if (reply.error) {
    line = json::compact(json::object{{"error", valid_utf8(*reply.error)}});
  } else {
    line = json::compact(json::object{{"value", reply.value}});
    if (!line) line = json::compact(json::object{{"value", page_objects(reply.value)}});
  }
  std::string out = line.value_or("{\"value\":null}");  // both forms above always serialise
  out.push_back('\n');
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

// The only page the tool stands in for.
constexpr std::string_view kAppPage = "quillstone://app/index.html";

}  // namespace

int bridge(const Places& places, const std::vector<std::string_view>& args) {
  if (!args.empty()) return usage("bridge", "takes no arguments; messages come on standard input");

  Session session(places);
  BlockingEventLoop main;
  WorkerPool background;
  bridge::HeadlessWindow window;
  bridge::HostDispatcher dispatcher(*session.library, session.library->support(), main, background,
                                    window);

  // Only tasks on this thread touch these.
  std::size_t outstanding = 0;
  bool input_ended = false;

  // Standard input is read on a thread of its own, so that replies finished in the background
  // are printed while the tool waits for the next line.
  std::thread reader([&] {
    char* buffer = nullptr;
    std::size_t capacity = 0;
    ssize_t length;
    while ((length = ::getline(&buffer, &capacity, stdin)) >= 0) {
      std::string line(buffer, static_cast<std::size_t>(length));
      if (line.ends_with('\n')) line.pop_back();
      main.post([&, line = std::move(line)] {
        const json::value body = json::parse(line).value_or(json::value(nullptr));
        ++outstanding;
        bridge::receive(&dispatcher, body, kAppPage, true, [&](bridge::PlatformReply reply) {
          print_reply(reply);
          --outstanding;
        });
      });
    }
    std::free(buffer);
    main.post([&] { input_ended = true; });
  });
  main.run_until([&] { return input_ended && outstanding == 0; });
  reader.join();
  return kOK;
}

}  // namespace qs::cli
