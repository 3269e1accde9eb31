// What the library's writes in flight have claimed, the batches under way, and where a write
// goes. A write claims its document and the package it chose under the library's lock, writes
// the files outside it, and gives both back (library_writes.cc); another write of the same
// document, a trash of it, a move of the library and the outside-change check wait for that.
//
// Threads: the library's queue: every function expects its lock held; a wait lets it go while it
// waits.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "core/json.h"
#include "library/queue_lock.h"

namespace qs::library {

namespace fs = std::filesystem;

class WritePlanner {
 public:
  // Waits until no write of `id` is in flight.
  void waitForDocument(QueueGuard& guard, const std::string& id) {
    settled_.wait(guard, [&] { return !writing_.contains(id); });
  }
  // Waits until no write is in flight.
  void waitForAll(QueueGuard& guard) {
    settled_.wait(guard, [this] { return writing_.empty(); });
  }
  void claim(const std::string& id, const fs::path& package);
  void release(const std::string& id, const fs::path& package);
  // Wakes the waits once a release is done and the lock let go.
  void notifyReleased() { settled_.notify_all(); }

  void beginBatch() { ++batches_; }
  // Ends a batch: true when it was the last and documents new to the ledger wait to be saved in
  // it.
  [[nodiscard]] bool endBatch();
  // Whether a document new to the ledger is added to it when the batches end rather than now
  // (noted, then).
  [[nodiscard]] bool holdLedgerBack();

  struct Place {
    fs::path folder;     // where the package belongs
    fs::path package;    // where it is written
    bool moves = false;  // `package` is a new place for the package now at `current`
  };
  // Where the package of `id` goes: `current` (its package now, if any) while its folder and name
  // still fit `doc`, else the first free name in the folder placement() gives. A name another
  // write in flight claimed is as taken as one on disk. None when that folder is in the writing
  // folder but isn't a real folder: the Archive is never written through a link.
  std::optional<Place> choose(const std::string& id, const json::object& doc, const fs::path& root,
                              const fs::path& support,
                              const std::optional<fs::path>& current) const;

 private:
  std::set<std::string> writing_;
  std::set<fs::path> claimed_;
  std::condition_variable_any settled_;
  int batches_ = 0;
  bool ledger_behind_ = false;
};

}  // namespace qs::library
