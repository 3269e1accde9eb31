// A temporary folder removed with its contents when the test ends.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_io.h"
#include "core/json.h"

namespace qs::testing {

class TempDir {
 public:
  TempDir();
  // Inside `base` rather than the system's temporary folder.
  explicit TempDir(const std::filesystem::path& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A memory file system when the machine has one (thousands of small files, or runs killed
// mid-write, where syncing to a disk would only be slow), else the system's temporary folder.
std::filesystem::path scratchFolder();

// Writes a file, creating its folder; for setting up fixtures only.
void writeText(const std::filesystem::path& path, std::string_view text);
std::string readText(const std::filesystem::path& path);

// The names in `folder`, sorted.
std::vector<std::string> namesIn(const std::filesystem::path& folder);
// Everything below `folder` by relative path: a file's bytes, "/" for a folder, "-> target" for
// a link (never followed).
std::map<std::string, std::string> tree(const std::filesystem::path& folder);
// How often `what` occurs in `text`.
std::size_t countOf(std::string_view text, std::string_view what);
// The lines of `text`, without their ends.
std::vector<std::string> linesOf(std::string_view text);
// JSON text that must be an object (throws otherwise, which fails the test).
json::object object(std::string_view text);
// Temporary files of ours left below `folder`, for tests of interrupted writes.
std::vector<std::string> leftovers(const std::filesystem::path& folder);

}  // namespace qs::testing
