#include "menus/recent_documents.h"

namespace qs::menus {

namespace fs = std::filesystem;

bool isPackagePath(const fs::path& path) {
  fs::path p = path;
  if (!p.has_filename()) p = p.parent_path();  // a folder written with a trailing "/"
  return p.extension() == ".quillstone" && p.stem() != "";
}

std::vector<RecentEntry> openRecentEntries(const std::vector<fs::path>& recent,
                                           const fs::path& root,
                                           const std::function<bool(const fs::path&)>& exists) {
  std::vector<RecentEntry> entries;
  std::string prefix = root.lexically_normal().string();
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  prefix += "/";
  for (const auto& path : recent) {
    fs::path normal = path.lexically_normal();
    if (!normal.has_filename()) normal = normal.parent_path();
    if (!isPackagePath(normal) || !normal.string().starts_with(prefix) || !exists(normal)) {
      continue;
    }
    entries.push_back({normal.stem().string(), normal});
  }
  return entries;
}

PanelChoice choosePackages(const std::vector<fs::path>& chosen) {
  PanelChoice choice;
  for (const auto& path : chosen) {
    if (isPackagePath(path)) {
      choice.packages.push_back(path);
    } else {
      fs::path p = path.has_filename() ? path : path.parent_path();
      choice.refused.push_back(p.filename().string());
    }
  }
  return choice;
}

std::string refusedMessage(const std::vector<std::string>& names) {
  if (names.size() == 1) return "\u201c" + names.front() + "\u201d isn't a Quillstone document.";
  return std::to_string(names.size()) + " of the chosen folders aren't Quillstone documents.";
}

}  // namespace qs::menus
