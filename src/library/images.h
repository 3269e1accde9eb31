// Images in packages: large embedded data URLs move to files named by content hash when a
// package is written, and come back as data URLs when it is read. Image captures (small texts
// the page keeps under an id) live in the support folder. Callable from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/json.h"

namespace qs::images {

namespace fs = std::filesystem;

inline constexpr std::string_view kReferencePrefix = "quillstone-image:";

struct ImageParts {
  std::string file_name;  // 20 hex digits of SHA-256, ".", extension
  std::string header;     // between "data:" and the comma, ending in ";base64"
  std::string bytes;      // the decoded image
};

// The parts of an extractable data URL: longer than 2048 characters, "data:image/…;base64,"
// and canonical base64. None for anything else.
std::optional<ImageParts> imageParts(std::string_view s);

// Replaces extractable data URLs in `v` by references, writing each image once into `folder`
// and adding its file name to `used`.
json::value extractImages(const json::value& v, const fs::path& folder,
                          std::set<std::string>& used);

// Replaces references in `v` by data URLs read from `folder`; a reference whose file can't be
// read stays as it is. Only the last path component of a reference is used.
json::value restoreImages(const json::value& v, const fs::path& folder);

// Captures in `support`/captures; ids must be letters, digits and "-".
std::optional<std::string> capture(const fs::path& support, std::string_view id);
void putCapture(const fs::path& support, std::string_view id, std::string_view src);
void dropCapture(const fs::path& support, std::string_view id);

}  // namespace qs::images
