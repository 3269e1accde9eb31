#include "library/paths.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/file_io.h"
#include "library/package.h"

namespace qs::library {

std::optional<std::vector<fs::directory_entry>> listSorted(const fs::path& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    entries.push_back(*it);
  }
  // By name: what follows the last "/" (no path is made for a comparison).
  auto name = [](const fs::directory_entry& e) {
    const std::string_view p = e.path().native();
    return p.substr(p.rfind('/') + 1);
  };
  std::sort(entries.begin(), entries.end(),
            [&](const auto& a, const auto& b) { return name(a) < name(b); });
  return entries;
}

bool hasPackageExtension(const fs::path& p) {
  return p.extension() == kPackageExtension;
}

bool isPlaceholderName(std::string_view name) {
  return name.ends_with(kPlaceholderSuffix);
}

fs::path normalPath(const fs::path& p) {
  fs::path n = p.lexically_normal();
  if (!n.has_filename() && n.has_parent_path() && n != n.root_path()) n = n.parent_path();
  return n;
}

bool isInside(const fs::path& path, const fs::path& folder) {
  const std::string p = normalPath(path).string(), f = normalPath(folder).string();
  return p.size() > f.size() && p.compare(0, f.size(), f) == 0 && p[f.size()] == '/';
}

fs::path absoluteFolder(const fs::path& p) {
  std::error_code ec;
  fs::path a = fs::absolute(p, ec);
  return normalPath(ec ? p : a);
}

bool isRealFolder(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void syncParent(const fs::path& p) {
  if (auto folder = file_io::Folder::open(p.parent_path(), file_io::Links::kFollow)) {
    (void)folder->sync();
  }
}

}  // namespace qs::library
