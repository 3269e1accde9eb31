// The browser half of a sign-in. The service's page opens in the user's default browser, and
// the window that asked shows that Quillstone waits ("Continue in your browser", with Cancel).
// The browser comes back through a quillstone://auth/callback link, which the desktop hands to
// the running program. Main thread only.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qs::auth {

class BrowserSignIn {
 public:
  enum class End { kCancelled, kFailed };

  // Closes what it shows, calling nothing.
  virtual ~BrowserSignIn() = default;
  // Opens `url` in the browser and shows the waiting dialog. Calls `ended` at most once, never
  // from inside start(): kCancelled when the user gives up (Cancel, or the window closes),
  // kFailed when the browser couldn't be started. `ended` may destroy this object: it is
  // called from a copy of its own.
  virtual void start(const std::string& url, std::function<void(End)> ended) = 0;
  // Tells the user, in a dialog of its own that outlives this object, that quillstone: links
  // don't reach this program, so the browser's answer could never come back.
  virtual void showUnreachable() = 0;
};

// The program the desktop opens quillstone: links with.
struct LinkHandler {
  std::string id;                    // its desktop entry, "app.quillstone.Quillstone.desktop"
  std::filesystem::path executable;  // its command, found on PATH; empty when not found
};

// Whether links reach this running program: the handler is Quillstone's desktop entry (any
// copy of the program hands its links to the one running), or its command is this very binary.
bool reachesThisProgram(const std::optional<LinkHandler>& handler,
                        const std::filesystem::path& self);

// The desktop's default handler of quillstone: links (GIO), none when there is none.
std::optional<LinkHandler> defaultLinkHandler();

}  // namespace qs::auth
