#include "library/package_moves.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "library/paths.h"

namespace qs::library {

namespace {

std::atomic<bool> g_copy_every_move{false};

// Copies the regular files and folders of `from` into the new folder `name` of `into`, each file
// synced, then each folder. Links and anything else inside are not copied.
bool copyTree(const file_io::Folder& from, const file_io::Folder& into, const std::string& name) {
  auto to = into.sub(name, file_io::Folder::Create::kYes);
  if (!to) return false;
  for (const auto& entry : from.names().value_or(std::vector<std::string>{})) {
    if (file_io::isTemporaryName(entry)) continue;
    auto st = from.status(entry);
    if (!st) continue;
    if (S_ISDIR(st->st_mode)) {
      auto sub = from.sub(entry);
      if (!sub || !copyTree(*sub, *to, entry)) return false;
    } else if (S_ISREG(st->st_mode)) {
      auto bytes = from.read(entry);
      if (!bytes || !to->writeAtomically(entry, *bytes, file_io::Durability::kFileOnly)) {
        return false;
      }
    }
  }
  return to->sync();
}

}  // namespace

void removePackage(const fs::path& package) {
  const fs::path aside =
      package.parent_path() / file_io::temporaryName(package.filename().string());
  std::error_code ignored;
  if (file_io::renameNoReplace(package, aside)) {
    syncParent(package);
    fs::remove_all(aside, ignored);
  } else {
    fs::remove_all(package, ignored);
  }
}

bool movePackage(const fs::path& from, const fs::path& to) {
  if (!g_copy_every_move) {
    if (file_io::renameNoReplace(from, to)) {
      syncParent(to);
      if (from.parent_path() != to.parent_path()) syncParent(from);
      return true;
    }
    if (errno != EXDEV) return false;
  }
  auto source = file_io::Folder::open(from, file_io::Links::kRefuse);
  auto destination = file_io::Folder::open(to.parent_path(), file_io::Links::kFollow);
  if (!source || !destination) return false;
  const std::string temporary = file_io::temporaryName(to.filename().string());
  std::error_code ignored;
  if (!copyTree(*source, *destination, temporary) ||
      !file_io::renameNoReplace(destination->path() / temporary, to)) {
    fs::remove_all(destination->path() / temporary, ignored);
    return false;
  }
  (void)destination->sync();
  removePackage(from);
  return true;
}

void copyEveryPackageMoveForTesting(bool copy) {
  g_copy_every_move = copy;
}

}  // namespace qs::library
