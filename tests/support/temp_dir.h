// A temporary folder removed with its contents when the test ends.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

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

// Writes a file, creating its folder; for setting up fixtures only.
void write_text(const std::filesystem::path& path, std::string_view text);
std::string read_text(const std::filesystem::path& path);

}  // namespace qs::testing
