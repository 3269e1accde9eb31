// What the library knows of each package folder between scans, so that a scan looks inside only
// the folders that changed: the folder's stamp when it was last listed, and the version files a
// sync tool had set aside in it then. The stamps of folders holding none are kept across runs in
// a file of the support folder, so that a start doesn't list every package again; a folder the
// library wrote into since is listed again at the next scan.
//
// Also when this process first met a package that may still be arriving (a package folder whose
// "document.json" isn't there yet).
//
// Threads: the library's queue (the caller holds its lock).
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "library/package.h"

namespace qs::library {

class PackageFolders {
 public:
  explicit PackageFolders(fs::path file) : file_(std::move(file)) {}

  // Reads the kept stamps, for the writing folder `root` (stamps kept for another are dropped).
  void load(const fs::path& root);
  // Keeps the stamps, if they changed since they were read or kept.
  void save();

  // The version files in `package`, whose folder's stamp is now `stamp`: the folder is listed
  // when that differs from the stamp last seen, else the last listing's answer stands.
  const std::vector<std::string>& versionFiles(const fs::path& package, const FolderStamp& stamp);
  // The library changed the folder: the next scan lists it again.
  void forget(const fs::path& package);

  // When this process first met `package` without its "document.json" (now, if not before).
  using Time = std::chrono::system_clock::time_point;
  Time firstMet(const fs::path& package, Time now);
  void met(const fs::path& package) { waiting_.erase(package.string()); }

 private:
  struct Entry {
    FolderStamp stamp;
    std::vector<std::string> versions;
    bool met = false;  // by a scan of this run: folders gone since aren't kept
  };
  std::string_view key(const fs::path& package) const;

  const fs::path file_;
  fs::path root_;
  // A hash of a path that a std::string_view can look up too.
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, Entry, Hash, std::equal_to<>> entries_;  // by path below root
  bool changed_ = false;
  std::map<std::string, Time> waiting_;
};

}  // namespace qs::library
