// The ways back to a document besides the page's own switcher: the Open Recent list and the
// Open… panel. Pure; callable from any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qs::menus {

struct RecentEntry {
  std::string title;  // the package's name without ".quillstone"
  std::filesystem::path path;
};

// The Open Recent items: of the desktop's recent files (paths, most recent first), the document
// packages inside the writing folder `root` that still exist, in the same order. The list is
// shared by every program: other folders it names there are left out.
std::vector<RecentEntry> openRecentEntries(
    const std::vector<std::filesystem::path>& recent, const std::filesystem::path& root,
    const std::function<bool(const std::filesystem::path&)>& exists);

// Whether a path the desktop remembers is one of our document packages (Clear Menu forgets
// these and nothing else: the list is shared by every program).
bool isPackagePath(const std::filesystem::path& path);

// The folders chosen in the Open… panel, split into packages to open and the names of those
// that aren't packages.
struct PanelChoice {
  std::vector<std::filesystem::path> packages;
  std::vector<std::string> refused;
};
PanelChoice choosePackages(const std::vector<std::filesystem::path>& chosen);
// The alert for folders that aren't packages.
std::string refusedMessage(const std::vector<std::string>& names);
inline constexpr const char* kRefusedDetail =
    "Only Quillstone documents, folders whose names end in \u201c.quillstone\u201d, can be "
    "opened here.";

}  // namespace qs::menus
