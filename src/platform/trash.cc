#include "platform/trash.h"

#include <algorithm>
#include <utility>

#include "core/file_io.h"

namespace qs {

namespace fs = std::filesystem;

namespace {

// A "Path=" value: %XX escapes decoded, as the Trash writes them.
std::string unescaped(std::string_view s) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && digit(s[i + 1]) >= 0 && digit(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(digit(s[i + 1]) * 16 + digit(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::string_view valueOf(std::string_view text, std::string_view key) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (line.starts_with(key)) return line.substr(key.size());
    at = end + 1;
  }
  return {};
}

}  // namespace

std::vector<fs::path> trashedItems(const fs::path& trash, const fs::path& top,
                                   const fs::path& folder) {
  auto info = file_io::Folder::open(trash / "info", file_io::Links::kRefuse);
  if (!info) return {};
  const std::string below = folder.lexically_normal().string() + "/";
  std::vector<std::pair<std::string, fs::path>> found;  // (deletion date, item)
  for (const auto& name : info->names().value_or(std::vector<std::string>{})) {
    if (!name.ends_with(".trashinfo")) continue;
    auto text = info->read(name, 64 * 1024);
    if (!text) continue;
    fs::path original(unescaped(valueOf(*text, "Path=")));
    if (original.empty()) continue;
    if (original.is_relative()) original = top / original;
    if (!original.lexically_normal().string().starts_with(below)) continue;
    found.emplace_back(std::string(valueOf(*text, "DeletionDate=")),
                       trash / "files" / name.substr(0, name.size() - 10));
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a > b; });
  std::vector<fs::path> out;
  for (auto& f : found) out.push_back(std::move(f.second));
  return out;
}

}  // namespace qs
