// The desktop's list of recently used files, which every program shares. Main thread only.
#pragma once

#include <filesystem>

namespace qs {

// Adds `path` to the list.
void rememberRecentFile(const std::filesystem::path& path);

}  // namespace qs
