// A temporary folder removed with its contents when the test ends, and small file helpers for
// setting up and looking at fixtures.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_io.h"
#include "core/json.h"

namespace qs::testing {

class TempDir {
 public:
  TempDir() : TempDir(std::filesystem::temp_directory_path()) {}
  // Inside `base` rather than the system's temporary folder.
  explicit TempDir(const std::filesystem::path& base) {
    std::string pattern = (base / "qs-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A memory file system when the machine has one (thousands of small files, or runs killed
// mid-write, where syncing to a disk would only be slow), else the system's temporary folder.
inline std::filesystem::path scratchFolder() {
  std::error_code ec;
  const bool shm = std::filesystem::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0;
  return shm ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
}

// Writes a file, creating its folder; for setting up fixtures only.
inline void writeText(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
}

inline std::string readText(const std::filesystem::path& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

// The names in `folder`, sorted.
inline std::vector<std::string> namesIn(const std::filesystem::path& folder) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    out.push_back(e.path().filename());
  std::ranges::sort(out);
  return out;
}

// Everything below `folder` by relative path: a file's bytes, "/" for a folder, "-> target" for
// a link (never followed).
inline std::map<std::string, std::string> tree(const std::filesystem::path& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    out[std::filesystem::relative(e.path(), folder).string()] =
        e.is_symlink()        ? "-> " + std::filesystem::read_symlink(e.path()).string()
        : e.is_regular_file() ? readText(e.path())
                              : "/";
  }
  return out;
}

// How often `what` occurs in `text`.
inline std::size_t countOf(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != text.npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The lines of `text`, without their ends.
inline std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// JSON text that must be an object (throws otherwise, which fails the test).
inline json::object object(std::string_view text) {
  auto v = json::parse(text);
  if (!v || !v->is_object()) throw std::runtime_error("not a JSON object: " + std::string(text));
  return v->as_object();
}

// Temporary files of ours left below `folder`, for tests of interrupted writes.
inline std::vector<std::string> leftovers(const std::filesystem::path& folder) {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (file_io::isTemporaryName(entry.path().filename().string()))
      out.push_back(entry.path().string());
  }
  return out;
}

}  // namespace qs::testing
