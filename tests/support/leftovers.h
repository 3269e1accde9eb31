// Temporary files of ours left below a folder, for tests of interrupted writes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/file_io.h"

namespace qs::testing {

inline std::vector<std::string> leftovers(const std::filesystem::path& folder) {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (file_io::is_temporary_name(entry.path().filename().string())) {
      out.push_back(entry.path().string());
    }
  }
  return out;
}

}  // namespace qs::testing
