// Images in packages: large embedded data URLs move to files named by content hash when a
// package is written, and come back as data URLs when it is read. Image captures (small texts
// the page keeps under an id) live in the support folder. Callable from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/file_io.h"
#include "core/image_data_url.h"
#include "core/json.h"

namespace qs::images {

namespace fs = std::filesystem;

inline constexpr std::string_view kReferencePrefix = "quillstone-image:";

// Replaces extractable data URLs in `v` by references, writing each image once into the
// package's "images" folder (made when first needed; never through a link, so a linked "images"
// leaves every image inline). Adds the file name of every reference in the result to `used`,
// including references the value already held: a file still on its way from a sync tool is
// kept for them.
json::value extractImages(const json::value& v, const file_io::Folder& package,
                          std::set<std::string>& used);

// Replaces references in `v` by data URLs read from the package's "images" folder. Only regular
// files inside a real "images" folder are read: a reference whose file is missing, a link or
// anything else stays as it is, and its file name goes to `missing` when given. Only the last
// path component of a reference is used.
json::value restoreImages(const json::value& v, const file_io::Folder& package,
                          std::set<std::string>* missing = nullptr);
// The same for the package at `package` (itself not followed when a link).
json::value restoreImages(const json::value& v, const fs::path& package);

// The file name a string refers to when it is an image reference, else none.
std::optional<std::string> referencedFile(std::string_view s);
// The file names of every image reference in `v`, added to `names`.
void referencedImages(const json::value& v, std::set<std::string>& names);

// Captures in `support`/captures; ids must be letters, digits and "-".
std::optional<std::string> capture(const fs::path& support, std::string_view id);
void putCapture(const fs::path& support, std::string_view id, std::string_view src);
void dropCapture(const fs::path& support, std::string_view id);

}  // namespace qs::images
