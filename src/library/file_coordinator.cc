#include "library/file_coordinator.h"

#include <algorithm>
#include <vector>

namespace qs::library {

namespace {
std::string keyFor(const std::filesystem::path& path) {
  std::string key = path.lexically_normal().string();
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  return key;
}
}  // namespace

struct FileCoordinator::Access::Held {
  FileCoordinator* owner = nullptr;
  struct Lock {
    std::string key;
    std::shared_ptr<Entry> entry;
    bool exclusive;
  };
  std::vector<Lock> locks;
};

FileCoordinator::Access::~Access() {
  if (!held_) return;
  // Released in reverse order of taking.
  for (auto it = held_->locks.rbegin(); it != held_->locks.rend(); ++it) {
    if (it->exclusive) {
      it->entry->lock.unlock();
    } else {
      it->entry->lock.unlock_shared();
    }
    held_->owner->releaseEntry(it->key);
  }
}

FileCoordinator& FileCoordinator::shared() {
  static FileCoordinator* coordinator = new FileCoordinator();
  return *coordinator;
}

std::shared_ptr<FileCoordinator::Entry> FileCoordinator::acquireEntry(const std::string& key) {
  std::lock_guard guard(mutex_);
  auto& entry = entries_[key];
  if (!entry) entry = std::make_shared<Entry>();
  ++entry->users;
  return entry;
}

void FileCoordinator::releaseEntry(const std::string& key) {
  std::lock_guard guard(mutex_);
  auto it = entries_.find(key);
  if (it != entries_.end() && --it->second->users == 0) entries_.erase(it);
}

FileCoordinator::Access FileCoordinator::read(const std::filesystem::path& path) {
  Access access;
  access.held_ = std::make_unique<Access::Held>();
  access.held_->owner = this;
  std::string key = keyFor(path);
  auto entry = acquireEntry(key);
  entry->lock.lock_shared();
  access.held_->locks.push_back({std::move(key), std::move(entry), false});
  return access;
}

FileCoordinator::Access FileCoordinator::write(const std::filesystem::path& path) {
  Access access;
  access.held_ = std::make_unique<Access::Held>();
  access.held_->owner = this;
  std::string key = keyFor(path);
  auto entry = acquireEntry(key);
  entry->lock.lock();
  access.held_->locks.push_back({std::move(key), std::move(entry), true});
  return access;
}

FileCoordinator::Access FileCoordinator::write(const std::filesystem::path& a,
                                               const std::filesystem::path& b) {
  std::vector<std::string> keys{keyFor(a), keyFor(b)};
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  Access access;
  access.held_ = std::make_unique<Access::Held>();
  access.held_->owner = this;
  for (auto& key : keys) {
    auto entry = acquireEntry(key);
    entry->lock.lock();
    access.held_->locks.push_back({std::move(key), std::move(entry), true});
  }
  return access;
}

}  // namespace qs::library
