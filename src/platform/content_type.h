// MIME types for file extensions, as the desktop's shared MIME database knows them. Callable from
// any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace qs {

inline constexpr std::string_view kUnknownMimeType = "application/octet-stream";

// The MIME type for a file extension given without its dot ("html", "woff2");
// kUnknownMimeType when the extension is not known.
using ContentTypeLookup = std::function<std::string(std::string_view extension)>;

// The lookup through GIO's content types (shared-mime-info).
std::string gioMimeTypeForExtension(std::string_view extension);

}  // namespace qs
