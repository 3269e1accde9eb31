// The requests this computer wrote, by id, kept in a small file in the support folder. The
// writing folder may be kept in a sync tool between computers that each run the program; the
// exchange's folders then sync too, and each computer takes only the replies to its own
// requests, leaving the others' for the computer that asked.
//
// The file is read again whenever it changed, so that two programs on one computer (the
// desktop and the command-line bridge) share it. It is written atomically.
//
// Main thread only (the bridge's); not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qs::claude {

using IdSet = std::set<std::string, std::less<>>;

// The record after `id` is written: `ids` (oldest first) with `id` moved to the end, keeping the
// newest `kept` and any older one still `waiting` (its request or its reply is in the exchange).
std::vector<std::string> recordAfter(std::vector<std::string> ids, const std::string& id,
                                     const IdSet& waiting, std::size_t kept);

class OwnRequests {
 public:
  static constexpr std::size_t kKept = 256;
  static constexpr std::string_view kFileName = "claude-requests.json";

  // `support` is the support folder. `before` gives, when there is no record yet (the first
  // run of a version that keeps one), the requests to count as ours all the same.
  OwnRequests(std::filesystem::path support, std::function<std::vector<std::string>()> before);

  // Whether this computer wrote the request `id`.
  bool contains(std::string_view id);
  // Records `id` before its request is written; `waiting` as for recordAfter. False, with
  // `error` (errno's code), when the record couldn't be written: the request mustn't be.
  [[nodiscard]] bool add(const std::string& id, const IdSet& waiting, int* error = nullptr);
  // Starts an empty record where there is none: from now on only what is written here is ours.
  void start();

 private:
  struct Version {
    std::int64_t size = 0;
    std::int64_t modified = 0;
    std::uint64_t inode = 0;
    bool operator==(const Version&) const = default;
  };
  static std::optional<Version> versionOf(const std::filesystem::path& file);
  void refresh();
  bool write(const std::vector<std::string>& ids, int* error);

  std::filesystem::path file_;
  std::function<std::vector<std::string>()> before_;
  std::vector<std::string> ids_;   // oldest first
  std::optional<Version> loaded_;  // of the file ids_ was read from, or written as
};

}  // namespace qs::claude
