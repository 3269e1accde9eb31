// The decisions of a document window, apart from GTK and WebKit: page colours, the title, which
// navigations stay in the page, what other programs get, the data of a file the page offers,
// the close handshake, and a window as the application's registry keeps it (its saved size).
// Pure functions, except CloseGate and RegisteredWindow, which are main-thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"

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

// The window title: the document's title, or "Quillstone" when it has none. The web view's
// accessible name too.
std::string windowTitle(std::string_view title);

// Whether the page's own accessibility tree reaches GTK's AT-SPI tree: WebKit hands it over
// through a socket that GTK has from 4.14 on.
constexpr bool pageTreeReachable(unsigned gtk_major, unsigned gtk_minor) {
  return gtk_major > 4 || (gtk_major == 4 && gtk_minor >= 14);
}

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

// A press in the page, kept for a move of the window that the page asks for a moment later.
struct PagePress {
  int button = 0;
  double x = 0, y = 0;     // in the window surface's coordinates, its shadow included
  std::uint32_t time = 0;  // the press event's
};

// The move as GDK's begin_move takes it, with the press's own device. (On Wayland GDK itself
// adds the serial of the press's implicit grab, which the compositor checks.)
struct MoveStart {
  int button = 0;
  double x = 0, y = 0;
  std::uint32_t time = 0;
  bool operator==(const MoveStart&) const = default;
};

// The move a page's "drag" starts from the last press; `held` holds the pointer's buttons now
// (bit 0 for button 1). None without a press, for a button other than 1 to 5, and when that
// button is up by now: the move would then follow the pointer until the next click.
std::optional<MoveStart> moveFrom(const std::optional<PagePress>& press, unsigned held);

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

// What the application's registry of windows needs of a document window.
class RegisteredWindow {
 public:
  virtual ~RegisteredWindow() = default;
  virtual std::optional<std::string> docID() const = 0;
  virtual bool loaded() const = 0;
  virtual bool hasWindow() const = 0;
  // The saved size as "{{0, 0}, {width, height}}"; window managers here place windows
  // themselves, so the origin is not kept.
  virtual std::string frameText() const = 0;
  // Runs the page's settle handshake; `done` is called exactly once.
  virtual void settle(std::function<void()> done) = 0;
  // Appends a batch of records to the window's delivery queue and starts delivery.
  virtual void enqueueExternal(json::array records) = 0;
};

struct Size {
  int width = 0;
  int height = 0;
};

// "{{x, y}, {w, h}}" → the size; none for anything else.
std::optional<Size> parseFrame(std::string_view text);
std::string frameText(Size size);

}  // namespace qs::windows
