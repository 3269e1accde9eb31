#include "core/host_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "core/clock.h"
#include "core/file_io.h"
#include "core/text.h"

namespace qs {

namespace {

// A value as its plain description: strings without quotes, numbers in decimal.
std::string describe(const json::value& v) {
  if (v.is_string()) {
    // One event a line: control characters in a value (node ids come from documents) are
    // written escaped, so that no value can start a line of its own.
    std::string out;
    for (unsigned char c : std::string_view(v.get_string())) {
      if (c < 0x20 || c == 0x7f) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
      } else {
        out.push_back(static_cast<char>(c));
      }
    }
    return out;
  }
  if (v.is_null()) return "<null>";
  return json::compact(v).value_or("?");
}

void walk(const json::array& nodes, int depth, std::map<std::string, std::size_t>& seen,
          std::size_t& count) {
  if (depth > 400) return;  // hostile nesting; no real document comes near this
  for (const auto& node : nodes) {
    const json::object* o = node.if_object();
    if (!o) continue;
    if (auto id = json::findString(*o, "id")) {
      ++count;
      ++seen[std::string(*id)];
    }
    if (const json::array* children = json::findArray(*o, "children")) {
      walk(*children, depth + 1, seen, count);
    }
  }
}

}  // namespace

HostLog::HostLog(std::filesystem::path file, SerialQueue& queue)
    : file_(std::move(file)), queue_(queue) {}

void HostLog::append(std::string_view event, const json::object& fields) {
  // The task takes its own copy of the path, so it may run after the log object is gone.
  queue_.async([file = file_, text = line(clock::iso8601UTCNow(), event, fields)] {
    writeLine(file, text);
  });
}

std::string HostLog::line(std::string_view time, std::string_view event,
                          const json::object& fields) {
  std::vector<std::pair<std::string_view, const json::value*>> sorted;
  for (const auto& kv : fields) sorted.emplace_back(kv.key(), &kv.value());
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string out(time);
  out += "  ";
  out += event;
  for (const auto& [key, value] : sorted) {
    out += "  ";
    out += key;
    out += "=";
    out += describe(*value);
  }
  out += "\n";
  return out;
}

void HostLog::writeLine(const std::filesystem::path& file, const std::string& line) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (!ec && size > kSizeLimit) {
    if (auto text = file_io::readFile(file)) {
      // Keep the last half of the characters; the kept text may begin mid-line.
      const std::size_t characters = text::graphemeCount(*text);
      (void)file_io::writeAtomically(file, text::graphemeSuffix(*text, characters / 2),
                                     file_io::Durability::kFileOnly);
    }
  }
  int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    (void)file_io::writeAtomically(file, line, file_io::Durability::kFileOnly);
    return;
  }
  std::string_view rest(line);
  while (!rest.empty()) {
    ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n <= 0) break;  // lost; logging never reports
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
}

HostLog::NodeIDs HostLog::ids(const json::object& doc) {
  NodeIDs out;
  std::map<std::string, std::size_t> seen;
  if (const json::array* nodes = json::findArray(doc, "nodes")) walk(*nodes, 0, seen, out.count);
  for (const auto& [id, times] : seen) {
    if (times > 1) out.repeated.push_back(id);
  }
  return out;
}

}  // namespace qs
