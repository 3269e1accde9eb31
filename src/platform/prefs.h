// The settings store: one JSON object in a file ($XDG_CONFIG_HOME/quillstone/settings.json),
// read once, written atomically after every change. Callable from any thread.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"

namespace qs {

class Prefs {
 public:
  // The store kept in `file`; a missing or unreadable file reads as empty.
  explicit Prefs(std::filesystem::path file);

  // $QUILLSTONE_CONFIG, else $XDG_CONFIG_HOME/quillstone, with "settings.json".
  static std::filesystem::path defaultFile();

  std::optional<json::value> get(std::string_view key) const;
  std::optional<std::int64_t> getInteger(std::string_view key) const;
  // Stores the value and writes the file; false when the file couldn't be written (the value is
  // still kept for this run).
  bool set(std::string_view key, json::value value);
  bool remove(std::string_view key);

  const std::filesystem::path& file() const { return file_; }

 private:
  bool saveLocked();

  std::filesystem::path file_;
  mutable std::mutex mutex_;
  json::object values_;
};

}  // namespace qs
