// Where the desktop program finds its page and its folders, from the environment and the
// location of its binary. Callable from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qs::app {

// The folder holding "web/" and "host/bridge.js": $QUILLSTONE_RESOURCES, else beside the
// binary (a build folder), else ../share/quillstone from the binary (an installed program).
std::filesystem::path resourcesFolder();

// Whether a variable is present in the environment, with any value (even empty).
bool isSet(const char* name);

// $QUILLSTONE_DEV_STORE when it is a UUID (8-4-4-4-12 hexadecimal digits), lower-cased.
std::optional<std::string> developmentStore();

}  // namespace qs::app
