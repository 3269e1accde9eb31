// The page's last reported state, as the menus read it. The page sends a "state" message
// whenever its state changes; the window keeps the whole message and each one replaces the last.
// Every reader tolerates any shape: an entry of the wrong type reads as false, none or absent.
// Pure; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/json.h"

namespace qs::menus {

struct Depth {
  std::optional<std::int64_t> upTo;
  bool only = false;
  bool library = false;
};

class MenuState {
 public:
  MenuState() = default;
  explicit MenuState(const json::object* raw) : raw_(raw) {}

  // True for the boolean true or a non-zero number; false for anything else or nothing.
  bool boolean(std::string_view key) const;
  // The entry when it is text.
  std::optional<std::string_view> string(std::string_view key) const;
  // True when the entry is text equal to `value`.
  bool is(std::string_view key, std::string_view value) const;
  // The "depth" entry when it is an object: "upTo" when it is a number (a fraction is cut
  // off), "only" and "library" read as booleans.
  std::optional<Depth> depth() const;
  const json::value* find(std::string_view key) const;

 private:
  const json::object* raw_ = nullptr;
};

}  // namespace qs::menus
