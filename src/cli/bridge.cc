// quillstone-cli bridge: the page's host messages, without a page. Each line of standard input
// is one message (any JSON; a line that isn't JSON is answered like a message that isn't an
// object). Each reply is one line of standard output: {"value": V} with V exactly what the
// page's promise would be given before decoding, or {"error": TEXT}. Replies are printed as the
// work ends, so a slow "open" may be answered after a later message. At the end of the input
// the tool waits for every outstanding reply, then exits 0.
//
// The assistant's exchange is the desktop's, behind the same setting: "claudeAsk" writes its
// request file and "claudeCancel" withdraws it; the inbox is read when the tool starts and
// whenever it changes while the tool runs, and each reply taken is printed as one line,
// {"claudeReply": {"id", "bullets", "from", "options"}}, and answered as a page that knows the
// request would answer.
#include <stdio.h>

#include <algorithm>
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
#include "claude/claude_bridge.h"
#include "cli/commands.h"
#include "core/json.h"
#include "core/text.h"
#include "library/inotify_watcher.h"

namespace qs::cli {

namespace {

// A reply value the JSON writer refused, as the page would get it from the platform's own
// conversion: non-finite numbers become null, text that isn't UTF-8 is repaired.
json::value pageObjects(const json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::double_:
      return std::isfinite(v.get_double()) ? v : json::value(nullptr);
    case boost::json::kind::string:
      return json::value(text::makeValidUTF8(v.get_string()));
    case boost::json::kind::array: {
      json::array out;
      out.reserve(v.get_array().size());
      for (const auto& e : v.get_array()) out.push_back(pageObjects(e));
      return out;
    }
    case boost::json::kind::object: {
      json::object out;
      for (const auto& kv : v.get_object()) {
        out[text::makeValidUTF8(kv.key())] = pageObjects(kv.value());
      }
      return out;
    }
    default:
      return v;
  }
}

void printLine(std::string line) {
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void printReply(const bridge::PlatformReply& reply) {
  std::optional<std::string> line;
  if (reply.error) {
    line = json::compact(json::object{{"error", text::makeValidUTF8(*reply.error)}});
  } else {
    line = json::compact(json::object{{"value", reply.value}});
    if (!line) line = json::compact(json::object{{"value", pageObjects(reply.value)}});
  }
  printLine(line.value_or("{\"value\":null}"));  // both forms above always serialise
}

// The window of the tool, with the assistant's requests going where the desktop's go.
class AssistantWindow final : public bridge::HeadlessWindow {
 public:
  explicit AssistantWindow(claude::ClaudeBridge& claude) : claude_(claude) {}
  std::pair<bool, std::optional<std::string>> claudeAsk(const json::object& request) override {
    return claude_.ask(request);
  }
  bool claudeCancel(std::string_view requestId) override { return claude_.cancel(requestId); }

 private:
  claude::ClaudeBridge& claude_;
};

// The page every reply goes to: always loaded, it prints the reply and takes it, on a later
// turn of the loop as a page's answer would come. `pending` counts answers still to give.
class PrintedReplies final : public claude::ReplyTarget,
                             public claude::ReplyTargets,
                             public std::enable_shared_from_this<PrintedReplies> {
 public:
  PrintedReplies(EventLoop& main, std::size_t& pending) : main_(main), pending_(pending) {}
  bool loaded() const override { return true; }
  void claudeReply(std::string id, json::array bullets, std::string from, json::object options,
                   std::function<void(std::optional<bool>)> then) override {
    // The answer is queued before the line goes out, so that it is given before any message
    // a reader of the line sends next.
    ++pending_;
    main_.post([this, then = std::move(then)] {
      then(true);
      --pending_;
    });
    const json::object reply{{"claudeReply", json::object{{"id", std::move(id)},
                                                          {"bullets", std::move(bullets)},
                                                          {"from", std::move(from)},
                                                          {"options", std::move(options)}}}};
    // Reply files are untrusted: text that isn't UTF-8 is repaired rather than not printed.
    printLine(json::compact(reply).value_or(json::compact(pageObjects(reply)).value_or("{}")));
  }
  std::shared_ptr<claude::ReplyTarget> targetFor(const std::optional<std::string>&) override {
    return shared_from_this();
  }

 private:
  EventLoop& main_;
  std::size_t& pending_;
};

// The only page the tool stands in for.
constexpr std::string_view kAppPage = "quillstone://app/index.html";

}  // namespace

int bridge(const Places& places, const std::vector<std::string_view>& args) {
  if (!args.empty()) return usage("bridge", "takes no arguments; messages come on standard input");

  Session session(places);
  BlockingEventLoop main;
  WorkerPool background;
  // Only tasks on this thread touch these.
  std::size_t outstanding = 0;
  bool input_ended = false;

  auto replies = std::make_shared<PrintedReplies>(main, outstanding);
  claude::ClaudeBridge claude([&] { return session.library->root(); }, session.library->support(),
                              *session.prefs, session.log.get(), *replies);
  AssistantWindow window(claude);
  bridge::HostDispatcher dispatcher(*session.library, session.library->support(), main, background,
                                    window);
  // Replies already waiting are read first; later ones as they arrive.
  main.post([&] { claude.processInbox(); });
  library::InotifyWatcher inbox_watch(main);
  (void)inbox_watch.start(session.library->root(),
                          [&](std::vector<std::string> paths, bool overflow) {
                            const bool inbox = std::any_of(paths.begin(), paths.end(), [](auto& p) {
                              return claude::ClaudeBridge::isInboxPath(p);
                            });
                            if (inbox || overflow) claude.processInbox();
                          });

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
          printReply(reply);
          --outstanding;
        });
      });
    }
    std::free(buffer);
    main.post([&] { input_ended = true; });
  });
  main.runUntil([&] { return input_ended && outstanding == 0; });
  reader.join();
  return kOK;
}

}  // namespace qs::cli
