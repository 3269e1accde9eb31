// Giving a package folder its own icon in the file manager: the thumbnail of the document.
// Desktop-only, and best effort: a file manager without custom icons simply ignores it.
#pragma once

#include <filesystem>
#include <functional>

namespace qs {

// Sets `folder`'s icon to the PNG at `png`. Called on the main thread; never blocks for long.
using SetFolderIcon =
    std::function<void(const std::filesystem::path& folder, const std::filesystem::path& png)>;

// The GVfs "metadata::custom-icon" attribute through GIO; does nothing where GVfs metadata is
// not available (no gvfsd-metadata running, or a file system it does not cover).
SetFolderIcon gvfsFolderIcon();

}  // namespace qs
