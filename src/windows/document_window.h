// The decisions of a document window, apart from GTK and WebKit: page colours, the title, which
// navigations stay in the page, what other programs get, the data of a file the page offers,
// and the close handshake. Pure functions, except CloseGate, which is main-thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qs::windows {

inline constexpr int kDefaultWidth = 1280;
inline constexpr int kDefaultHeight = 820;
inline constexpr int kMinimumWidth = 720;
inline constexpr int kMinimumHeight = 480;
inline constexpr double kPrintMargin = 36;  // points, on all four sides

struct Rgba {
  double red, green, blue, alpha;
  bool operator==(const Rgba&) const = default;
};

// "rgb(20 20 20)", "rgba(20, 20, 20, 0.4)" and "20,20,20": red, green and blue out of 255, the
// alpha as written (1 when absent), each clamped to 0…1. Hex, named colours and parts that
// aren't finite numbers give none.
std::optional<Rgba> color(std::string_view css);

// The window title: the document's title, or "Quillstone" when it has none.
std::string windowTitle(std::string_view title);

enum class Navigation { kAllow, kCancel, kDownload, kOpenOutside };

struct NavigationRequest {
  std::string uri;  // empty when the request has none
  bool wants_download = false;
  bool targets_subframe = false;  // a frame other than the main frame
  bool has_target_frame = true;   // false for new-window requests
  bool is_link_activation = false;
};
Navigation decideNavigation(const NavigationRequest& request);

// WebKitGTK doesn't say which frame a navigation is for, so what it does say decides. A
// navigation is taken for a frame's when its target names a frame ("_self", "_top" and
// "_parent" name none in particular), or when nothing the user did asked for it: no link, no
// form, no click or key behind it. That is how a frame the page makes loads; the page sending
// itself elsewhere on its own is not taken to the browser either.
bool targetsSubframe(std::string_view target_name, bool link_or_form, bool user_gesture);

// What becomes of a link handed to other programs.
enum class OutsideAction { kOpenInDefaultApp, kShowInFileViewer, kIgnore };
OutsideAction outsideAction(std::string_view uri);
// A new-window request: never a second web view; the app's own pages are dropped.
bool newWindowGoesOutside(std::string_view uri);
// The scheme of a URI in lower case; empty when it has none.
std::string schemeOf(std::string_view uri);

// The bytes of a data URL the page offers to save: everything after the first comma, decoded as
// standard base64. None without a comma or with invalid base64.
std::optional<std::string> savedFileBytes(std::string_view data_url);

// Closing waits for the page to settle, once; a second request while it waits is ignored.
class CloseGate {
 public:
  // `settle` runs the page's settle handshake and calls its argument once when done.
  void request(bool page_loaded, const std::function<void(std::function<void()>)>& settle,
               std::function<void()> close);
  bool settling() const { return settling_; }

 private:
  bool settling_ = false;
};

}  // namespace qs::windows
