// Coordination of package access inside the process: any number of readers or one writer per
// path, so that two windows, the upkeep and the outside-change check never interleave inside
// one package. Callable from any thread; an access lasts as long as the returned object.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

namespace qs::library {

class FileCoordinator {
 public:
  class Access {
   public:
    Access() = default;
    Access(Access&&) noexcept = default;
    Access& operator=(Access&&) noexcept = default;
    ~Access();

   private:
    friend class FileCoordinator;
    struct Held;
    std::unique_ptr<Held> held_;
  };

  static FileCoordinator& shared();

  [[nodiscard]] Access read(const std::filesystem::path& path);
  [[nodiscard]] Access write(const std::filesystem::path& path);
  // Both paths for writing (a move); taken in a fixed order so that two moves never deadlock.
  [[nodiscard]] Access write(const std::filesystem::path& a, const std::filesystem::path& b);

 private:
  struct Entry {
    std::shared_mutex lock;
    int users = 0;
  };
  std::shared_ptr<Entry> acquireEntry(const std::string& key);
  void releaseEntry(const std::string& key);

  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<Entry>> entries_;
};

}  // namespace qs::library
