#include "platform/prefs.h"

#include <glib.h>

#include <cmath>
#include <cstdlib>

#include "core/file_io.h"

namespace qs {

Prefs::Prefs(std::filesystem::path file) : file_(std::move(file)) {
  if (auto text = file_io::readFile(file_)) {
    if (auto parsed = json::parse(*text); parsed && parsed->is_object()) {
      values_ = std::move(parsed->get_object());
    }
  }
}

std::filesystem::path Prefs::defaultFile() {
  if (const char* dir = std::getenv("QUILLSTONE_CONFIG"); dir && *dir) {
    return std::filesystem::path(dir) / "settings.json";
  }
  return std::filesystem::path(g_get_user_config_dir()) / "quillstone" / "settings.json";
}

std::optional<json::value> Prefs::get(std::string_view key) const {
  std::lock_guard guard(mutex_);
  if (const json::value* v = values_.if_contains(key)) return *v;
  return std::nullopt;
}

std::optional<std::int64_t> Prefs::getInteger(std::string_view key) const {
  auto v = get(key);
  if (!v) return std::nullopt;
  if (v->is_int64()) return v->get_int64();
  if (v->is_uint64() && v->get_uint64() <= INT64_MAX)
    return static_cast<std::int64_t>(v->get_uint64());
  if (v->is_double() && std::isfinite(v->get_double()) &&
      std::trunc(v->get_double()) == v->get_double() && std::fabs(v->get_double()) < 9e18) {
    return static_cast<std::int64_t>(v->get_double());
  }
  return std::nullopt;
}

bool Prefs::set(std::string_view key, json::value value) {
  std::lock_guard guard(mutex_);
  values_[key] = std::move(value);
  return saveLocked();
}

bool Prefs::remove(std::string_view key) {
  std::lock_guard guard(mutex_);
  values_.erase(key);
  return saveLocked();
}

bool Prefs::saveLocked() {
  auto text = json::pretty(values_);
  if (!text) return false;
  return file_io::createFolders(file_.parent_path()) && file_io::writeAtomically(file_, *text);
}

}  // namespace qs
