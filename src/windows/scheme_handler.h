// Serves the editor page and all its files to the web views under the "quillstone" scheme, from
// the web folder, with the page's content security policy. Every request is answered whole and at
// once: never partial content, never a redirect. One handler serves every window for the life of
// the application.
//
// WebKit asks on the main thread and is answered there, the file read included (the served files
// are small resources). The handler keeps no state, so answer() is safe from any thread.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/content_type.h"

typedef struct _WebKitWebContext WebKitWebContext;

namespace qs::windows {

// The policy every served file carries, built once on first use.
const std::string& contentSecurityPolicy();

class SchemeHandler {
 public:
  struct Response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order they are sent
    std::string body;
  };

  // `web_root` is the folder the page's files are served from.
  SchemeHandler(std::filesystem::path web_root, ContentTypeLookup content_types);

  // The answer to a request for `uri`. The host is not looked at: every host of the scheme is
  // served from the same folder. A path outside the web folder (by ".." segments, encoded or
  // not, or a symbolic link leading out), a missing file or a folder gets the 404 answer. None
  // for a URI that is empty or has no scheme: that request fails with a bad-URL error.
  std::optional<Response> answer(std::string_view uri) const;

  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
  ContentTypeLookup content_types_;
};

// Registers `handler` for the "quillstone" scheme on `context`, and the scheme as secure and as
// CORS-enabled. Once per web context: the windows share the context and the handler with it.
// Main thread. Defined with the WebKitGTK code (desktop library).
void registerAppScheme(WebKitWebContext* context, std::shared_ptr<SchemeHandler> handler);

}  // namespace qs::windows
