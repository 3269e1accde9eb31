// The exchange's folders below the current writing folder, and what the bridge does with the
// files in them apart from writing requests: listing the replies in the inbox, and setting a
// refused reply aside in "inbox/ignored/" with its line in the "log.txt" there.
//
// A link among the folders is never followed (see exchange_folders.h) and is said once on
// standard error. A refused reply that can't be moved aside is remembered with its version, so
// that it is refused once for each version of the file, not at every pass.
//
// Main thread only (the bridge's); not thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "claude/exchange_folders.h"

namespace qs::claude {

// The time of a request file and of a refusal's line: UTC, whole seconds, as in
// 2025-03-01T09:30:00Z.
std::string wholeSecondsNow();

// A single name that can stand for a file in a folder.
bool isPlainName(std::string_view name);

class Exchange {
 public:
  enum class Folder { kOutbox, kInbox, kIgnored };

  // `root` gives the writing folder at the time of each call; an empty path means there is none.
  explicit Exchange(std::function<std::filesystem::path()> root) : root_(std::move(root)) {}

  // The folder's path below the current writing folder; empty when there is none.
  std::filesystem::path path(Folder folder) const;
  // The folder, opened without following a link below the writing folder.
  OpenedFolder open(Folder folder, Missing missing);

  // The names of the "*.json" entries of the inbox, sorted; none when it can't be read. Stuck
  // replies that are gone are forgotten.
  std::optional<std::vector<std::string>> replies();
  // The request ids named by the "*.json" entries of the outbox.
  std::vector<std::string> requests();
  // The request ids named in the outbox or the inbox: those whose request or reply is still here.
  std::set<std::string, std::less<>> waiting();

  enum class Entry { kGone, kSetAsideAgain, kNew };
  // What is to become of the inbox entry `name`: gone already; refused before and unchanged
  // since (it couldn't be moved aside; it is tried again quietly, since saying so at every pass
  // would only fill the logs); or to be checked.
  Entry look(int inbox, const std::string& name);
  // Moves the refused reply `name` into "ignored/" (replacing a file there of its name) and
  // appends its line to the log there. A reply that stays in the inbox is remembered.
  void setAside(const std::string& name, const std::string& reason) {
    setAside(name, reason, false);
  }

 private:
  // A file as it was: two versions differ when it was rewritten or replaced.
  struct Version {
    std::int64_t size = 0;
    std::int64_t modified = 0;  // nanoseconds
    std::uint64_t inode = 0;
    bool operator==(const Version&) const = default;
  };
  // A refused reply that couldn't be moved aside: its version then, its reason, and whether its
  // line is in "ignored/log.txt" yet.
  struct Stuck {
    Version version;
    std::string reason;
    bool logged = false;
  };

  static std::optional<Version> versionAt(int folder, const std::string& name);
  void setAside(const std::string& name, const std::string& reason, bool logged);
  std::optional<std::vector<std::string>> jsonNames(Folder folder);

  std::function<std::filesystem::path()> root_;
  std::map<std::string, Stuck, std::less<>> stuck_;
  std::set<std::string, std::less<>> linksSaid_;
};

}  // namespace qs::claude
