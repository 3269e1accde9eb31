#include "app/environment.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace qs::app {

namespace fs = std::filesystem;

namespace {
fs::path executableFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path(ec) : exe.parent_path();
}
}  // namespace

bool isSet(const char* name) {
  return std::getenv(name) != nullptr;
}

fs::path resourcesFolder() {
  if (const char* dir = std::getenv("QUILLSTONE_RESOURCES"); dir && *dir) return dir;
  const fs::path beside = executableFolder();
  std::error_code ec;
  if (fs::is_directory(beside / "web", ec)) return beside;
  return (beside / ".." / "share" / "quillstone").lexically_normal();
}

std::optional<std::string> developmentStore() {
  const char* value = std::getenv("QUILLSTONE_DEV_STORE");
  if (!value) return std::nullopt;
  const std::string text(value);
  static constexpr int kGroups[] = {8, 4, 4, 4, 12};
  std::size_t at = 0;
  std::string out;
  for (int g = 0; g < 5; ++g) {
    for (int i = 0; i < kGroups[g]; ++i, ++at) {
      if (at >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[at]))) {
        return std::nullopt;
      }
      out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(text[at]))));
    }
    if (g < 4) {
      if (at >= text.size() || text[at] != '-') return std::nullopt;
      out.push_back('-');
      ++at;
    }
  }
  if (at != text.size()) return std::nullopt;
  return out;
}

}  // namespace qs::app
