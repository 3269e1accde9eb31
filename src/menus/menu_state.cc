#include "menus/menu_state.h"

#include <cmath>

namespace qs::menus {

namespace {

bool truthy(const json::value* v) {
  if (!v) return false;
  if (v->is_bool()) return v->get_bool();
  if (auto n = json::asNumber(*v)) return *n != 0;
  return false;
}

}  // namespace

const json::value* MenuState::find(std::string_view key) const {
  return raw_ ? raw_->if_contains(key) : nullptr;
}

bool MenuState::boolean(std::string_view key) const {
  return truthy(find(key));
}

std::optional<std::string_view> MenuState::string(std::string_view key) const {
  const json::value* v = find(key);
  if (!v || !v->is_string()) return std::nullopt;
  return std::string_view(v->get_string());
}

bool MenuState::is(std::string_view key, std::string_view value) const {
  auto text = string(key);
  return text && *text == value;
}

std::optional<Depth> MenuState::depth() const {
  const json::value* v = find("depth");
  if (!v || !v->is_object()) return std::nullopt;
  const json::object& d = v->get_object();
  Depth result;
  if (const json::value* up = d.if_contains("upTo")) {
    if (up->is_int64()) {
      result.upTo = up->get_int64();
    } else if (up->is_uint64()) {
      if (up->get_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
        result.upTo = static_cast<std::int64_t>(up->get_uint64());
      }
    } else if (up->is_double()) {
      const double n = std::trunc(up->get_double());
      if (std::isfinite(n) && std::fabs(n) < 9.0e18) result.upTo = static_cast<std::int64_t>(n);
    }
  }
  result.only = truthy(d.if_contains("only"));
  result.library = truthy(d.if_contains("library"));
  return result;
}

}  // namespace qs::menus
