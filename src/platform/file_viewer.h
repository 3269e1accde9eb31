// Handing things to other programs on the desktop. Main thread only; each returns at once.
#pragma once

#include <filesystem>
#include <string>

namespace qs {

// Selects `path` in the file manager (org.freedesktop.FileManager1), or opens its folder where
// no file manager answers that call.
void showInFileViewer(const std::filesystem::path& path);

// Opens a web or mail link with the desktop's default program for it.
void openWithDefaultApp(const std::string& uri);

// The file: URI of a local path.
std::string fileURI(const std::filesystem::path& path);

}  // namespace qs
