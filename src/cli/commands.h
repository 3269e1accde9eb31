// The commands of quillstone-cli, one function each, taking the arguments after the command.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "library/library.h"

namespace qs {
class HostLog;
class Prefs;
class SearchIndex;
class Trash;
}  // namespace qs

namespace qs::cli {

inline constexpr int kOK = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

// Where the library is: --root and --support, else QUILLSTONE_ROOT and QUILLSTONE_SUPPORT,
// else the desktop's writing folder and support folder.
struct Places {
  std::filesystem::path root;
  std::filesystem::path support;
  bool remembered = false;  // the root is the desktop's writing folder: a move is remembered
};

// The library and the real services behind it, as the desktop program has them.
struct Session {
  // `start`: when the library scans (a command that begins with a scan of its own asks for
  // kLater, so that it scans once).
  explicit Session(const Places& places,
                   library::Library::Start start = library::Library::Start::kNow);
  ~Session();
  std::unique_ptr<ThreadSerialQueue> log_queue;
  std::unique_ptr<HostLog> log;
  std::unique_ptr<Trash> trash;
  std::unique_ptr<SearchIndex> spotlight;
  std::unique_ptr<Prefs> prefs;
  std::unique_ptr<library::Library> library;
};

int render(const std::vector<std::string_view>& args);
int open(const Places& places, const std::vector<std::string_view>& args);
int write(const Places& places, const std::vector<std::string_view>& args);
int scan(const Places& places, const std::vector<std::string_view>& args);
int move(const Places& places, const std::vector<std::string_view>& args);
int search(const Places& places, const std::vector<std::string_view>& args);
int bridge(const Places& places, const std::vector<std::string_view>& args);
int watch(const Places& places, const std::vector<std::string_view>& args);
int importBackup(const Places& places, const std::vector<std::string_view>& args);
int get(const std::vector<std::string_view>& args);
int set(const std::vector<std::string_view>& args);
// The overview with no arguments, else one command's longer help.
int help(std::string_view overview, const std::vector<std::string_view>& args);
int version(const std::vector<std::string_view>& args);

// One line on standard error, "quillstone-cli: " and the message; gives kFailed.
int fail(std::string_view message);
// One line on standard error naming the command; gives kUsage.
int usage(std::string_view command, std::string_view message);

}  // namespace qs::cli
