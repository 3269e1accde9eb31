// The parts of an image held inline as a data URL: what the library stores in a file of its
// own, and what a rendering scales down. Pure; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qs::images {

struct ImageParts {
  std::string file_name;  // 20 hex digits of SHA-256, ".", extension
  std::string header;     // between "data:" and the comma, ending in ";base64"
  std::string bytes;      // the decoded image
};

// The parts of an extractable data URL: longer than 2048 characters, "data:image/…;base64,"
// and canonical base64. None for anything else.
std::optional<ImageParts> imageParts(std::string_view s);

}  // namespace qs::images
