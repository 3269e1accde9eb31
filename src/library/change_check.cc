#include "library/change_check.h"

#include <algorithm>
#include <memory>

namespace qs::library {

const Seen* ChangeCheck::find(std::string_view id) const {
  auto it = seen_.find(std::string(id));
  return it == seen_.end() ? nullptr : &it->second;
}

Seen* ChangeCheck::find(std::string_view id) {
  auto it = seen_.find(std::string(id));
  return it == seen_.end() ? nullptr : &it->second;
}

void ChangeCheck::remember(const std::string& id, Seen seen) {
  if (auto it = last_rev_.find(id); it != last_rev_.end())
    seen.rev = std::max(seen.rev, it->second);
  last_rev_[id] = seen.rev;
  seen_[id] = std::move(seen);
}

std::int64_t ChangeCheck::raisedRev(const std::string& id, std::int64_t own) const {
  const auto last = last_rev_.find(id);
  return std::max((last == last_rev_.end() ? 0 : last->second) + 1, own);
}

std::int64_t ChangeCheck::removed(const std::string& id) {
  const std::int64_t before = last_rev_.contains(id) ? last_rev_[id] : seen_[id].rev;
  const std::int64_t raised = before + 1;
  seen_.erase(id);
  last_rev_[id] = raised;
  return raised;
}

KnownID ChangeCheck::knownIDs(Cost& cost) const {
  auto id_at = std::make_shared<std::map<std::string, std::string>>();  // package path → id
  for (const auto& [id, entry] : seen_) id_at->emplace(entry.path, id);
  return [this, id_at, &cost](const fs::path& package) -> std::optional<std::string> {
    auto it = id_at->find(package.string());
    if (it == id_at->end()) {
      ++cost.identities_read;
      return std::nullopt;
    }
    const Seen& entry = seen_.at(it->second);
    auto stamp = documentStamp(package);
    if (!stamp || stamp->size != entry.size || stamp->date != entry.date) {
      ++cost.identities_read;
      return std::nullopt;
    }
    return it->second;
  };
}

bool ChangeCheck::imageArrived(const Seen& seen) {
  for (const auto& name : seen.missing_images) {
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(fs::path(seen.path) / "images" / name, ec))) {
      return true;
    }
  }
  return false;
}

}  // namespace qs::library
