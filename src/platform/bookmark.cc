#include "platform/bookmark.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>

#include "core/json.h"
#include "core/text.h"

namespace qs {

namespace fs = std::filesystem;

namespace {

struct Stored {
  fs::path path;
  std::string name;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

std::optional<Stored> read(std::string_view bytes) {
  auto parsed = json::parse(bytes);
  const json::object* o = parsed ? parsed->if_object() : nullptr;
  if (!o) return std::nullopt;
  auto path = json::findString(*o, "path");
  auto name = json::findString(*o, "name");
  const json::value* device = o->if_contains("device");
  const json::value* inode = o->if_contains("inode");
  auto number = [](const json::value* v) -> std::optional<std::uint64_t> {
    if (v && v->is_uint64()) return v->get_uint64();
    if (v && v->is_int64() && v->get_int64() >= 0)
      return static_cast<std::uint64_t>(v->get_int64());
    return std::nullopt;
  };
  if (!path || !name || !number(device) || !number(inode)) return std::nullopt;
  fs::path folder{std::string(*path)};
  if (!folder.is_absolute()) return std::nullopt;
  return Stored{std::move(folder), std::string(*name), *number(device), *number(inode)};
}

}  // namespace

std::optional<std::string> Bookmark::make(const fs::path& folder) {
  const fs::path absolute = folder.lexically_normal();
  struct stat st {};
  if (!absolute.is_absolute() || ::stat(absolute.c_str(), &st) != 0) return std::nullopt;
  std::string name = absolute.filename().string();
  if (name.empty()) name = absolute.parent_path().filename().string();  // "/a/b/" spelled so
  if (!text::isValidUTF8(absolute.string()) || !text::isValidUTF8(name)) return std::nullopt;
  std::string path = absolute.string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return json::compact(json::object{{"path", path},
                                    {"name", name},
                                    {"device", static_cast<std::uint64_t>(st.st_dev)},
                                    {"inode", static_cast<std::uint64_t>(st.st_ino)}});
}

std::optional<Bookmark::Resolved> Bookmark::resolve(std::string_view bytes) {
  auto stored = read(bytes);
  if (!stored) return std::nullopt;
  struct stat st {};
  if (::stat(stored->path.c_str(), &st) == 0) {
    const bool same_device = st.st_dev == stored->device;
    const bool same_inode = st.st_ino == stored->inode;
    if (same_device && same_inode) return Resolved{stored->path, false};
    if (same_device || same_inode) return Resolved{stored->path, true};
  }
  // Renamed in place: the same device and inode beside where it was.
  const fs::path parent = stored->path.parent_path();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(parent.c_str()), ::closedir);
  if (!dir) return std::nullopt;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == ".." || entry->d_ino != stored->inode) continue;
    const fs::path candidate = parent / entry->d_name;
    if (::stat(candidate.c_str(), &st) == 0 && st.st_dev == stored->device &&
        st.st_ino == stored->inode) {
      return Resolved{candidate, true};
    }
  }
  return std::nullopt;
}

std::optional<std::string> Bookmark::storedName(std::string_view bytes) {
  auto stored = read(bytes);
  if (!stored) return std::nullopt;
  return stored->name;
}

}  // namespace qs
