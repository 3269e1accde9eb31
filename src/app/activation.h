// The launcher's activation token, carried from a second launch to the running program so that
// the window it brings forward may take the focus: Wayland's xdg-activation token
// (XDG_ACTIVATION_TOKEN) or X11's startup id (DESKTOP_STARTUP_ID, whose "_TIME<n>" ending is the
// launch's timestamp). Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qs::app {

// What the running program presents its window with.
struct Activation {
  std::string token;
  std::uint32_t time = 0;  // the startup id's timestamp; 0 (GDK_CURRENT_TIME) when it has none
  // "_TIME<n>" alone: no launcher's token, only a timestamp (what the desktop's search sends).
  // Wayland has no use for it; GTK then asks the compositor for a token of its own.
  bool only_time = false;
  bool operator==(const Activation&) const = default;
};

// Whether a token can be handed on (a second launch passes on only these): 1 to 256 printable ASCII
// characters. A token is opaque, but it travels through other programs' environments and D-Bus
// messages into GDK's protocol requests, and no launcher makes one of anything else.
bool usableToken(std::string_view token);

// The activation the running program takes from a launch's platform data ("activation-token",
// "desktop-startup-id"), preferring the activation token. The time is read from a startup id's
// "_TIME<n>" ending, whichever of the two carries it.
std::optional<Activation> activationFrom(std::optional<std::string_view> activation_token,
                                         std::optional<std::string_view> startup_id);

}  // namespace qs::app
