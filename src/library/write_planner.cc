#include "library/write_planner.h"

#include <algorithm>

#include "library/package.h"
#include "library/paths.h"
#include "library/versions.h"

namespace qs::library {

void WritePlanner::claim(const std::string& id, const fs::path& package) {
  writing_.insert(id);
  claimed_.insert(package.lexically_normal());
}

void WritePlanner::release(const std::string& id, const fs::path& package) {
  writing_.erase(id);
  claimed_.erase(package.lexically_normal());
}

bool WritePlanner::endBatch() {
  if (--batches_ != 0 || !ledger_behind_) return false;
  ledger_behind_ = false;
  return true;
}

bool WritePlanner::holdLedgerBack() {
  if (batches_ == 0) return false;
  ledger_behind_ = true;
  return true;
}

std::optional<WritePlanner::Place> WritePlanner::choose(
    const std::string& id, const json::object& doc, const fs::path& root, const fs::path& support,
    const std::optional<fs::path>& current) const {
  const Placement place = placement(id, doc, root, support);
  if (isInside(place.folder, root)) {
    std::error_code ec;
    const auto status = fs::symlink_status(place.folder, ec);
    if (fs::exists(status) && !fs::is_directory(status)) return std::nullopt;
  }
  auto claimed = [this](const fs::path& p) { return claimed_.contains(p.lexically_normal()); };
  if (!current) {
    return Place{place.folder, freeURL(place.folder, place.base_name, std::nullopt, claimed)};
  }
  const std::string stem = current->stem().string();
  // Named for the base, or for it and a number ("Notes 2"); a package made from shared files
  // keeps the name it was given there, and one named by an earlier version of the program keeps
  // its name while its title is unchanged.
  auto namedFor = [&stem](std::string_view base) {
    if (stem == base) return true;
    if (stem.size() <= base.size() + 1 || stem.compare(0, base.size(), base) != 0 ||
        stem[base.size()] != ' ') {
      return false;
    }
    return std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(base.size()) + 1, stem.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
  };
  bool keeps_name = namedFor(place.base_name) || isMadeHereName(stem, doc, id);
  if (!keeps_name && !id.starts_with("_")) {
    if (auto earlier = earlierFileName(doc)) keeps_name = namedFor(*earlier);
  }
  if (normalPath(current->parent_path()) == normalPath(place.folder) && keeps_name) {
    return Place{place.folder, *current};
  }
  const fs::path destination = freeURL(place.folder, place.base_name, *current, claimed);
  if (normalPath(destination) == normalPath(*current)) return Place{place.folder, *current};
  return Place{place.folder, destination, true};
}

}  // namespace qs::library
