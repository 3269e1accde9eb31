// The host log: one line per event the native side did with the user's documents and with the
// assistant bridge, in "host-log.txt" in the support folder, for diagnosis. Lines are formatted
// on the caller's thread and written on the log's own serial queue; the caller never waits for
// the disk and never sees an error. Callable from any thread.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "core/json.h"

namespace qs {

class HostLog {
 public:
  static constexpr std::size_t kSizeLimit = 1'000'000;

  // Writes to `file`, on `queue` (which must outlive the log).
  HostLog(std::filesystem::path file, SerialQueue& queue);

  void append(std::string_view event, const json::object& fields);

  // "time  event  a=x  b=2": ISO 8601 UTC time, the event, then the fields sorted by key.
  static std::string line(std::string_view time, std::string_view event,
                          const json::object& fields);

  struct NodeIDs {
    std::size_t count = 0;
    std::vector<std::string> repeated;  // sorted
  };
  // The string ids of the doc's nodes and their children, depth first.
  static NodeIDs ids(const json::object& doc);

 private:
  static void writeLine(const std::filesystem::path& file, const std::string& line);

  std::filesystem::path file_;
  SerialQueue& queue_;
};

}  // namespace qs
