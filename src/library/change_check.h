// What the app last read or wrote of each document, which the outside-change check
// (Library::externalChanges, library_changes.cc) compares the folders with, and what its last
// pass had to read. The revisions handed out only rise: a document changed or removed outside
// gets one above any the page was given for it.
//
// Threads: the library's queue (the caller holds its lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "library/package.h"
#include "library/scan.h"

namespace qs::library {

// What the app last read or wrote of a package's "document.json".
struct Seen {
  std::uintmax_t size = 0;
  fs::file_time_type date;
  std::string hash;  // digest::contentStamp, or empty when the file couldn't be read
  std::string path;  // the package
  std::int64_t rev = 0;
  // Image files its document references that weren't there (a sync tool brings them later).
  std::set<std::string> missing_images;
};

class ChangeCheck {
 public:
  // What a pass had to read: packages whose identity or contents were read, and files hashed. A
  // pass over an unchanged library reads and hashes nothing.
  struct Cost {
    std::size_t identities_read = 0;
    std::size_t hashed = 0;
    std::size_t records_read = 0;
  };

  const Seen* find(std::string_view id) const;
  Seen* find(std::string_view id);
  const std::map<std::string, Seen>& all() const { return seen_; }

  // Remembers `seen` for `id`, its rev raised to the highest handed out for it.
  void remember(const std::string& id, Seen seen);
  // The rev a document changed outside is handed out with: above any handed out for it before,
  // and at least `own`, its record's.
  std::int64_t raisedRev(const std::string& id, std::int64_t own) const;
  // Forgets `id`, which the app trashed; the revs handed out still count.
  void forget(const std::string& id) { seen_.erase(id); }
  // Forgets `id`, removed outside: gives the rev its removal record carries.
  std::int64_t removed(const std::string& id);

  // Names the id of a package seen unchanged at the same place, and counts in `cost` each one
  // it can't name. It reads what is remembered when asked; `cost` and this must outlive it.
  KnownID knownIDs(Cost& cost) const;
  // Whether an image `seen` lacked has arrived since (a document saved while a sync tool hadn't
  // brought all its images yet).
  static bool imageArrived(const Seen& seen);

  const Cost& lastCost() const { return last_cost_; }
  void setLastCost(const Cost& cost) { last_cost_ = cost; }

 private:
  std::map<std::string, Seen> seen_;
  std::map<std::string, std::int64_t> last_rev_;
  Cost last_cost_;
};

}  // namespace qs::library
