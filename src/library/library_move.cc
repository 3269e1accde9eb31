// Moving the whole library to another folder, journaled so that a crash or an error midway is
// settled: finished when the library starts on the new folder, undone on the old one.
#include <algorithm>
#include <cstdio>

#include "core/file_io.h"
#include "core/system_log.h"
#include "library/file_coordinator.h"
#include "library/library.h"
#include "library/package_moves.h"
#include "library/paths.h"

namespace qs::library {

namespace {

constexpr std::string_view kMoveJournalFile = "move.json";

}  // namespace

void Library::copyEveryMoveForTesting(bool copy) {
  copyEveryPackageMoveForTesting(copy);
}

std::optional<std::string> Library::moveProblem(const fs::path& to) const {
  Guard guard(mutex_);
  return moveProblemLocked(guard, to);
}

std::optional<std::string> Library::moveProblemLocked(const Guard&, const fs::path& to) const {
  std::error_code ec;
  const fs::path target = absoluteFolder(to);
  if (fs::exists(target, ec) && !fs::is_directory(target, ec)) {
    return "That isn't a folder. Choose a folder.";
  }
  // Compared as the file system resolves them, so that a link or "a/../b" can't hide the
  // writing folder.
  const fs::path p = normalPath(fs::weakly_canonical(target, ec));
  const fs::path c = normalPath(fs::weakly_canonical(root_, ec));
  const fs::path support = normalPath(fs::weakly_canonical(support_, ec));
  if (p == c) return "That's already your writing folder.";
  if (isInside(p, c)) return "That folder is inside your writing folder. Choose one outside it.";
  if (isInside(c, p)) {
    return "Your writing folder is inside that one. Choose a folder of its own, or make one with "
           "New Folder.";
  }
  if (p == support || isInside(p, support)) {
    return "That folder is where Quillstone keeps its own things. Choose another.";
  }
  return std::nullopt;
}

Library::MoveResult Library::moveAll(const fs::path& destination, const MoveProgress& progress) {
  Guard guard(mutex_);
  planner_.waitForAll(guard);
  MoveResult result;
  const fs::path from = root_;
  try {
    moveAllLocked(guard, destination, progress, result);
    return result;
  } catch (const std::exception& e) {
    result.failed = e.what();
  } catch (...) {
  }
  if (result.failed.empty()) result.failed = "an unexpected error";
  settleFailedMoveLocked(guard, from, result);
  return result;
}

std::vector<std::pair<fs::path, fs::path>> Library::planMoveLocked(const Guard&, const fs::path& to,
                                                                   MoveResult& result) {
  const ScanResult there = scan({to, to / kArchiveFolder});
  const fs::path old_archive = normalPath(root_ / kArchiveFolder);
  std::vector<std::pair<fs::path, fs::path>> plan;
  std::set<fs::path> taken;
  json::array moves;
  for (const auto& [id, package] : index_) {
    if (id.starts_with("_")) continue;
    if (there.found.contains(id)) {
      ++result.stayed;
      continue;
    }
    const fs::path folder =
        normalPath(package.parent_path()) == old_archive ? to / kArchiveFolder : to;
    fs::path target;
    for (unsigned long n = 1;; ++n) {
      std::string base = package.stem().string();
      if (n > 1) base.append(" ").append(std::to_string(n));
      target = freeURL(folder, base);
      if (!taken.contains(target)) break;
    }
    taken.insert(target);
    plan.emplace_back(package, target);
    moves.push_back(json::array{package.string(), target.string()});
  }
  if (plan.empty()) return plan;
  const json::object journal{{"from", root_.string()}, {"to", to.string()}, {"moves", moves}};
  auto text = json::pretty(journal);
  std::string error;
  if (!text || !file_io::writeAtomically(support_ / kMoveJournalFile, *text,
                                         file_io::Durability::kSurvivesCrash, &error)) {
    result.refused = "couldn't prepare the move: " + error;
  }
  return plan;
}

void Library::moveAllLocked(const Guard& guard, const fs::path& destination,
                            const MoveProgress& progress, MoveResult& result) {
  const fs::path to = absoluteFolder(destination);
  if (auto problem = moveProblemLocked(guard, to)) {
    result.refused = *problem;
    return;
  }
  std::string error;
  if (!file_io::createFolders(to, &error)) {
    result.refused = error;
    return;
  }
  // Another program may have put a document here since the last look: it moves too, rather
  // than being left behind in a folder no longer watched, and so does what a sync tool set aside.
  rescanLocked(guard);
  std::vector<Problem> unused;
  if (bringInVersionsLocked(guard, unused, Waiting::kNow)) rescanLocked(guard);
  // The whole plan goes into the journal before anything moves.
  const auto plan = planMoveLocked(guard, to, result);
  if (!result.refused.empty()) return;
  const int total = static_cast<int>(plan.size());
  int placed = 0;
  if (progress) progress(placed, total);
  for (const auto& [from, target] : plan) {
    (void)file_io::createFolders(target.parent_path());
    auto access = FileCoordinator::shared().write(from, target);
    if (isRealFolder(target.parent_path()) && movePackage(from, target)) {
      ++result.moved;
    } else {
      ++result.stayed;
    }
    if (progress) progress(++placed, total);
  }
  root_ = to;
  folders_.load(root_);
  rescanLocked(guard);
  for (const auto& [id, package] : index_) ledger_[id] = package.string();
  saveLedgerLocked(guard);
  std::error_code ignored;
  fs::remove(support_ / kMoveJournalFile, ignored);
}

// A move cut short by an error settles as a start after a crash would: by its journal, undone
// while the library was still on the old folder, finished once it was on the new one. Undone,
// every document stayed.
void Library::settleFailedMoveLocked(const Guard& guard, const fs::path& from, MoveResult& result) {
  systemLog("moving the library stopped: %s", result.failed.c_str());
  try {
    (void)recoverMoveLocked(guard);
    rescanLocked(guard);
    for (const auto& [id, package] : index_) ledger_[id] = package.string();
    saveLedgerLocked(guard);
    if (root_ == from) {
      result.moved = 0;
      result.stayed =
          static_cast<int>(std::count_if(index_.begin(), index_.end(), [](const auto& entry) {
            return !entry.first.starts_with("_");
          }));
    }
  } catch (const std::exception& e) {
    // What the journal still holds is settled at the next start.
    systemLog("settling the move stopped too: %s", e.what());
  } catch (...) {
  }
}

bool Library::recoverMoveLocked(const Guard&) {
  auto journal = json::readObjectFile(support_ / kMoveJournalFile);
  if (!journal) return false;
  const fs::path from(json::findString(*journal, "from").value_or(""));
  const fs::path to(json::findString(*journal, "to").value_or(""));
  const json::array* moves = json::findArray(*journal, "moves");
  // Started on the new folder: finish the move. Started on the old one: undo it, as the old
  // folder is still the one in use. Started anywhere else: leave both alone.
  const bool forward = normalPath(root_) == normalPath(to);
  if (!moves || (!forward && normalPath(root_) != normalPath(from))) return false;
  for (const auto& move : *moves) {
    if (!move.is_array() || move.as_array().size() != 2 || !move.at(0).is_string() ||
        !move.at(1).is_string()) {
      continue;
    }
    const fs::path source(std::string(move.at(0).as_string()));
    const fs::path target(std::string(move.at(1).as_string()));
    const fs::path& here = forward ? source : target;  // where a package may still be to move
    const fs::path& there = forward ? target : source;
    if (!isRealFolder(here)) continue;
    if (!isRealFolder(there)) {
      (void)file_io::createFolders(there.parent_path());
      (void)movePackage(here, there);
    } else if (auto a = readDocumentFile(here), b = readDocumentFile(there); a && b && *a == *b) {
      removePackage(here);  // the copy made before the crash, whole in both places
    }
  }
  std::error_code ignored;
  fs::remove(support_ / kMoveJournalFile, ignored);
  return forward;
}

}  // namespace qs::library
