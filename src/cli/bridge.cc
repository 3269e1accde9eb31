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
#include "core/text.h"

namespace qs::cli {

namespace {

// A reply value the JSON writer refused, as the page would get it from the platform's own
// conversion: non-finite numbers become null, text that isn't UTF-8 is repaired.
json::value page_objects(const json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::double_:
      return std::isfinite(v.get_double()) ? v : json::value(nullptr);
    case boost::json::kind::string:
      return json::value(text::make_valid_utf8(v.get_string()));
    case boost::json::kind::array: {
      json::array out;
      out.reserve(v.get_array().size());
      for (const auto& e : v.get_array()) out.push_back(page_objects(e));
      return out;
    }
    case boost::json::kind::object: {
      json::object out;
      for (const auto& kv : v.get_object()) {
        out[text::make_valid_utf8(kv.key())] = page_objects(kv.value());
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
    line = json::compact(json::object{{"error", text::make_valid_utf8(*reply.error)}});
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
