// The library: the one object that owns the writing folder. It finds the documents there (the
// scan), answers the page's "open", writes what the page hands over, trashes, keeps restore
// points, moves the whole library, and keeps previews and the search index up to date.
//
// Its work is kept in files by job: construction, the ledger and state (library.cc), the scan
// (scan.cc, library_scan.cc), the answer to "open" (library_open.cc), writes and placing
// (library_writes.cc, write_planner.h), the Trash, restore points and reveal (library_trash.cc),
// the move (library_move.cc, package_moves.h), previews and the search index (library_upkeep.cc),
// the outside-change check (library_changes.cc, change_check.h), and what sync tools set aside
// (library_versions.cc, version_packages.h).
//
// Threads: every public function may be called from any thread. The library's state is guarded
// by one lock (the library queue, queue_lock.h); functions whose name ends in `Locked` expect it
// held and never take it again. Package reads in allRecords run outside it; the scan's reads run
// under it, on every core.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/event_loop.h"
#include "core/json.h"
#include "library/change_check.h"
#include "library/document_read.h"
#include "library/package.h"
#include "library/package_folders.h"
#include "library/queue_lock.h"
#include "library/scan.h"
#include "library/write_planner.h"

namespace qs {
class HostLog;
class Prefs;
class SearchIndex;
class Trash;
}  // namespace qs

namespace qs::library {

// A package folder whose "document.json" isn't there yet may be one a sync tool is bringing in:
// it is reported only once this process has met it for this long.
inline constexpr std::chrono::seconds kArrivalTime{5};
inline constexpr int kPreviewFormat = 2;
inline constexpr int kWorkspaceSchema = 3;
inline constexpr std::size_t kRestorePointsKept = 10;

// What the search index records of a package to tell whether its entry is current: its path
// and its "document.json"'s file identity, size and modification time. None when that isn't a
// regular file (a link is never followed).
std::optional<std::string> searchStamp(const fs::path& package);

// What the answer to "open" takes from the library's state (library_open.cc).
struct OpenParts;

class Library {
 public:
  // The services the library uses; any may be null (then that effect is skipped).
  struct Services {
    Trash* trash = nullptr;
    SearchIndex* spotlight = nullptr;
    Prefs* prefs = nullptr;
    HostLog* log = nullptr;
    WriteHooks package_hooks;
    // With Start::kInBackground: the first "open" answer, written on the start's thread right
    // after its scan, after `prefix` and in `form` (see openWorkspaceText).
    struct OpenAhead {
      std::string prefix;
      json::NonAscii form = json::NonAscii::kLiteral;
    };
    std::optional<OpenAhead> open_ahead;
    // With Start::kInBackground: how long the start's scan may wait for beginStart() before it
    // begins on its own, so that it doesn't compete with the first window for the processors.
    // Anyone who needs the library meanwhile has it begin at once.
    std::chrono::milliseconds start_hold{0};
    // The wall clock (names of restore points, how long a package has been arriving); the
    // system's when empty.
    std::function<std::chrono::system_clock::time_point()> wall_clock = {};
  };

  // When the first scan happens.
  enum class Start {
    kNow,  // in the constructor
    // On a thread of its own, reading every document for "open"; until it is done every call
    // that needs the library's state waits (root() and support() don't). The next "open"
    // answers from that scan.
    kInBackground,
    // At the first rescan(), allRecords() or openWorkspace(), which the owner calls before
    // anything else (a command that does nothing more).
    kLater,
  };

  // Starts the library on `root` (created if missing) and `support`: creates the support
  // folders, loads the ledger and scans.
  Library(fs::path root, fs::path support, Services services, Start start = Start::kNow);
  ~Library();

  // A start held back (Services::start_hold) begins now.
  void beginStart() { mutex_.hurry(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // The default writing folder: the desktop's documents folder, then "Quillstone".
  static fs::path defaultRoot();

  fs::path root() const;
  const fs::path& support() const { return support_; }

  // ---- scan and open ----
  // Scans the given folders (position 0 is the writing folder). Apart from removing this
  // program's temporary files an hour old, it only reads. Links below the writing folder are
  // reported, never followed; packages in it with a reserved or unusable id are reported.
  // Of several packages with one id, one whose name marks a conflict copy never wins over one
  // that doesn't; among the others the one whose doc was updated last wins, then the higher rev,
  // then the name first in byte order, so that every computer sharing the folder decides alike
  // (the ledger plays no part). Only when every package is a copy does the copy the ledger names
  // keep the id. The others are reported (and listed as duplicates): "open" and the outside-change
  // check keep each as a version of its own and move it to the Trash. (While the library runs, a
  // copy left alone by its original's deletion doesn't stand in for it: see copiesStandingIn.)
  // `known`, when given, may name the id of a package without reading it (the outside-change
  // check knows every package whose "document.json" it has seen unchanged).
  using KnownID = library::KnownID;
  using Ledger = library::Ledger;
  static ScanResult scan(const std::vector<fs::path>& folders, const KnownID& known = {},
                         const Ledger* ledger = nullptr);
  // Rescans and gives the problems found, among them the versions a sync tool set aside that are
  // waiting to be brought in (only "open" and the outside-change check bring them in).
  std::vector<Problem> rescan();
  // Rescans, then reads every package: id → record.
  std::map<std::string, json::object> allRecords();
  // The answer to the page's "open", appended to `out` as compact JSON text: the text the
  // writer gives for openWorkspace(), characters past ASCII as `form` says. Each document is
  // read and written out once; what was read is kept, and a later call reads again only the
  // packages whose "document.json" or images changed.
  // When `out` is the prefix Services::open_ahead gave, in its form, and nothing has changed
  // since the start's scan wrote its answer, that answer is taken as it is.
  void openWorkspaceText(std::string& out, json::NonAscii form = json::NonAscii::kLiteral);
  // The same answer as a value.
  json::object openWorkspace();
  // Whether the package the ledger names for `id` holds a "document.json", known without
  // waiting for a scan under way (for windows restored at start).
  bool ledgerNamesDocument(std::string_view id) const;
  std::optional<fs::path> url(std::string_view id) const;

  // ---- writes from the page ----
  // None when every record was handled, else the failure message.
  std::optional<std::string> write(const json::array& docs, const json::object* meta,
                                   const json::object* pretext);
  // One record: the package written, or none.
  std::optional<fs::path> write(const json::object& record);
  // While one lives, documents new to the ledger are added to it once, when the last batch
  // ends, rather than at each write (a backup import of thousands of documents).
  class Batch {
   public:
    explicit Batch(Library& library);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

   private:
    Library& library_;
  };
  // A package opened from the file manager: the id to open, or none.
  std::optional<std::string> adopt(const fs::path& package);

  // ---- restore points, trash, reveal ----
  [[nodiscard]] bool keepRestorePoint(const json::object& backup);
  std::optional<fs::path> revealablePackage(std::string_view id) const;

  // ---- moving the library ----
  struct MoveResult {
    int moved = 0;
    int stayed = 0;
    std::string refused;  // why nothing moved (not a folder, the same folder, …); empty when it ran
    // Why the move stopped partway, empty when it didn't. It was then settled as its journal
    // says: undone while the library was still on the old folder, finished once it was on the
    // new one. root() is where the library works now; the counts say where the documents are.
    std::string failed;
  };
  // Moves every document into `to`. Each package is moved whole: across file systems it is
  // copied under a temporary name, synced, renamed into place, and only then removed at the
  // source. A journal in the support folder lets a library started after a crash finish the
  // move (started on `to`) or undo it (started on the old folder), so every document is found
  // exactly once. An error partway never escapes: it settles the move and is reported in
  // `failed`. `progress`, when given, hears how many packages of how many have been placed,
  // first with none, then after each one: on the calling thread, with the library's lock held,
  // so it only keeps the counts.
  using MoveProgress = std::function<void(int placed, int total)>;
  MoveResult moveAll(const fs::path& to, const MoveProgress& progress = {});
  // Why `to` can't take the library, or none.
  std::optional<std::string> moveProblem(const fs::path& to) const;
  // Makes every move take the path used across file systems.
  static void copyEveryMoveForTesting(bool copy);

  // ---- upkeep ----
  // id → (stored doc, package) for every indexed document, read outside the lock.
  std::map<std::string, std::pair<json::object, fs::path>> documents() const;
  int refreshPreviewsIfNeeded(bool force);
  bool refreshPreview(const fs::path& package);
  // Brings the search index up to date with the packages: documents whose stamp (searchStamp)
  // changed, or that are new, are read and indexed again; entries of documents gone are
  // dropped. Gives the number of documents read: none for a library unchanged since.
  std::size_t updateSearchIndex();
  // Updates the search index and refreshes stale previews on `background` (inline when null).
  void reindexSpotlight(WorkerPool* background);

  // ---- changes made outside the app ----
  // Compares the folders with what the app last read or wrote: the records of documents changed
  // or added by other programs (with raised revisions), then removal records. Only reads.
  json::array externalChanges();
  // What the last comparison had to read (see ChangeCheck::Cost).
  using CheckCost = ChangeCheck::Cost;
  CheckCost lastCheckCost() const;
  // How long until a package that may still be arriving has been there long enough to be taken
  // as it is (a check then may report or settle it); none when nothing waits.
  std::optional<std::chrono::milliseconds> recheckIn() const;

  // ---- state, for the outside-change check and for tests ----
  std::map<std::string, std::string> ledger() const;
  std::optional<Seen> seen(std::string_view id) const;
  std::vector<Problem> problems() const;

 private:
  using Guard = QueueGuard;

  // ---- start and state (library.cc) ----
  // Finishes a move a crash interrupted, then scans when `depth` is given or a move finished.
  void startLocked(const Guard&, std::optional<ReadDepth> depth);
  // The start on a thread of its own (Start::kInBackground), holding the queue from the
  // constructor on.
  void startInBackground();
  void saveLedgerLocked(const Guard&);
  // What was read or written of `id` becomes what the outside-change check compares with.
  void rememberSeenLocked(const Guard&, const std::string& id, Seen seen);
  void rememberLocked(const Guard&, const std::string& id, const fs::path& package,
                      const json::value* rev, std::set<std::string> missing_images);
  void rememberReadLocked(const Guard&, const std::string& id, const fs::path& package,
                          const DocumentText& text);
  static std::optional<Seen> seenOf(const fs::path& package, std::int64_t rev,
                                    std::set<std::string> missing_images);
  // The folders a scan looks at: the writing folder, its Archive, the reserved documents.
  std::vector<fs::path> scannedFolders() const;

  // ---- scan (library_scan.cc) ----
  // Scans as rescan() does; packages whose reads are still current are not read again.
  void rescanLocked(const Guard&, ReadDepth depth = ReadDepth::kIdentity);
  // What a scan of the library asks: `identify`, and the library's rules for copies and for
  // packages still arriving.
  ScanHooks scanHooksLocked(const Guard&, ScanHooks::Identify identify);
  // Takes what a scan found as the library's index and problems, and notes the versions waiting.
  void takeScanLocked(const Guard&, ScanResult result);

  // ---- the answer to "open" (library_open.cc) ----
  // The answer to "open", begun under the queue `guard` holds. The queue is let go for the
  // support folder's files unless the answer is written ahead (`ahead`: it then adds what it
  // finds unreadable there rather than to problems_, and leaves fresh_ as it is).
  void answerOpen(std::string& out, json::NonAscii form, Guard& guard,
                  std::vector<Problem>* ahead = nullptr);
  OpenParts openPartsLocked(Guard& guard, std::vector<Problem>* ahead);
  // Each document of the index as read, into `parts`, or into `unreadable`; gives the packages
  // whose document lacks pictures.
  std::vector<fs::path> readPartsLocked(const Guard&, OpenParts& parts,
                                        std::vector<Problem>& unreadable);
  // Once the start's scan is done: what it read becomes what the outside-change check compares
  // with (as an "open" would make it), and the answer is written ahead when asked for.
  void prepareOpenLocked(Guard& guard);
  std::vector<Problem> vanishedLocked(const Guard&);

  // ---- writes and placing (library_writes.cc) ----
  // Chooses the package a write goes to, moving the package when its name or folder changed.
  std::optional<fs::path> placeLocked(Guard&, const std::string& id, const json::object& doc);
  // Waits for another write of `id` to end, then chooses the place of its package and claims it
  // (the lock is held only for that). None when there is no place to write it.
  std::optional<fs::path> claimPlace(const std::string& id, const json::object& doc);
  void releasePlace(const std::string& id, const fs::path& package);
  // Writes a record's package outside the lock, which it takes only to choose the place and to
  // record the result. `syncLater`: see WriteHooks.
  std::optional<fs::path> writeRecord(const std::string& id, const json::object& record,
                                      const json::object& doc,
                                      const std::function<void(const fs::path&)>& syncLater = {});
  // The same at a place claimPlace gave, which it gives back.
  std::optional<fs::path> writeClaimed(const std::string& id, const json::object& record,
                                       const json::object& doc, fs::path package,
                                       const std::function<void(const fs::path&)>& syncLater);
  // The package hooks of a write of `id`: a preview that failed is logged too.
  WriteHooks writeHooks(const std::string& id,
                        const std::function<void(const fs::path&)>& syncLater) const;
  // A document whose nodes repeat an id: its last text is kept beside it, once, and it is logged.
  void keepPrevious(const std::string& id, const json::value* rev, const fs::path& package,
                    std::size_t nodes, const std::vector<std::string>& repeated);
  // What a write did, in the index, the ledger and what the outside-change check compares with.
  void recordWriteLocked(const Guard&, const std::string& id, const fs::path& package,
                         std::optional<Seen> seen);
  // Writes the records of `docs`, several on a few threads; marks in `failed` those that failed.
  void writeBatch(const json::array& docs, std::vector<char>& failed);

  // ---- restore points, trash, reveal (library_trash.cc) ----
  void trashLocked(const Guard&, const std::string& id);
  bool isLibraryFolder(const fs::path& folder) const;

  // ---- moving the library (library_move.cc) ----
  std::optional<std::string> moveProblemLocked(const Guard&, const fs::path& to) const;
  void moveAllLocked(const Guard&, const fs::path& destination, const MoveProgress& progress,
                     MoveResult& result);
  // The moves of every document not already in `to`, written to the journal first.
  std::vector<std::pair<fs::path, fs::path>> planMoveLocked(const Guard&, const fs::path& to,
                                                            MoveResult& result);
  void settleFailedMoveLocked(const Guard&, const fs::path& from, MoveResult& result);
  bool recoverMoveLocked(const Guard&);

  // ---- changes made outside the app (library_changes.cc) ----
  // The scan of a check: packages `known` names are not read again.
  void checkScanLocked(const Guard&, const KnownID& known);
  // The record of a document whose package changed since the app last read or wrote it, or
  // none (unchanged, only moved or touched, or unreadable for now).
  std::optional<json::object> changedRecordLocked(const Guard&, const std::string& id,
                                                  const fs::path& package, CheckCost& cost,
                                                  bool& ledger_changed);
  // A package only moved: the ledger and the search index follow it.
  void followMoveLocked(const std::string& id, const fs::path& package, Seen& seen, CheckCost& cost,
                        bool& ledger_changed);
  // Removal records, at `now`, of the documents gone from the folders.
  json::array removalsLocked(const Guard&, std::int64_t now);

  // ---- what sync tools set aside (library_versions.cc) ----
  // A change of rule on purpose: a check of the writing folder ("open", the outside-change
  // check) brings in the versions a sync tool set aside, moves their files to the Trash, and
  // keeps a second package holding a document as a version of its own; a save never replaces
  // text a sync tool put in place unseen.
  struct VersionFile {
    fs::path package;
    std::string name;
  };
  struct Pending {
    std::vector<VersionFile> files;
    std::vector<Duplicate> duplicates;
  };
  // After a scan: looks inside the package folders that changed since they were last listed,
  // and notes what waits to be brought in.
  void findVersionsLocked(const Guard&, const ScanResult& result);
  // Brings in what the last scan found waiting; true when a package was written or trashed (the
  // caller scans again). Version files that can't be used go to `problems`.
  // `waiting` kWait lets a second package holding what this process last saw wait for the sync
  // tool to take it; kNow keeps it as a version at once (the library is about to leave the folder).
  enum class Waiting { kWait, kNow };
  bool bringInVersionsLocked(const Guard&, std::vector<Problem>& problems,
                             Waiting waiting = Waiting::kWait);
  bool settleDuplicateLocked(const Guard&, const Duplicate& duplicate, Waiting waiting);
  bool bringInVersionFileLocked(const Guard&, const VersionFile& file,
                                std::vector<Problem>& problems);
  // Whether a package whose "document.json" isn't there may still be arriving.
  bool stillArrivingLocked(const fs::path& package);
  // What the library last read or wrote of a document's "document.json", taken before a save.
  struct LastKnown {
    std::optional<Seen> seen;
    std::optional<FileStamp> read;  // when nothing was read whole: the scan's stamp of it
  };
  LastKnown lastKnown(const std::string& id, const fs::path& package) const;
  // A save replaced `package`'s "document.json" (`bytes`, `status`), taking it out in the same
  // step: text a sync tool put there since the library last read or wrote it (`known`, taken
  // before the save, as a read may meanwhile see the save's own file) is kept as a version.
  // Outside the lock; the caller holds the package's coordination.
  void keepReplacedText(const std::string& id, const fs::path& package, const json::object& doc,
                        const LastKnown& known, std::string_view bytes, const struct stat& status);
  // A version written: where it is, and that it is told (the next "open"'s notices, the logs).
  void keptVersionLocked(const Guard&, const std::string& id, const fs::path& package,
                         const fs::path& from, std::string reason);
  // The package of a version already brought in for `original_id` whose doc is `doc` but for its
  // `updated`.
  std::optional<fs::path> versionLikeLocked(const Guard&, std::string_view original_id,
                                            const json::object& doc);
  // Whether `doc`, a version of `original` that would get the id `id`, is already kept under
  // another id (the same but for `updated`): its pictures are filled in there from `sources`,
  // and the first source, what set it aside, goes to the Trash once they are.
  bool keptAlreadyLocked(const Guard&, const std::string& original, const json::object& doc,
                         const std::string& id, const std::vector<fs::path>& sources);
  // Moves a version file, or a package that lost its id, to the Trash.
  bool trashSetAside(const fs::path& path);
  // Pictures a document references that its package lacks (a sync tool carried out another
  // computer's delete of them while this one edited the text) are brought back from packages
  // this computer moved to the Trash. True when one was.
  bool healImagesLocked(const Guard&, const fs::path& package);

  fs::path root_;
  const fs::path support_;
  Services services_;
  std::function<std::chrono::system_clock::time_point()> wall_clock_;

  mutable QueueLock mutex_;  // the library queue: guards everything below and root_
  // What root() gives: root_ as of the last scan, readable while a scan holds the queue.
  mutable std::mutex root_mutex_;
  fs::path root_now_;
  // The ledger as loaded, read without the queue.
  std::map<std::string, std::string> start_ledger_;
  std::thread start_thread_;
  // The last read of each package scanned, by path.
  std::map<std::string, PackageRead> reads_;
  // The index and problems come from the start's scan, which read every document, and nothing
  // has been written or found changed since: the first "open" answers from it.
  bool fresh_ = false;
  // The first "open" answer written ahead, and what it was written from: it serves while the
  // start's reads still do and nothing it was written from differs.
  struct Prepared {
    std::string text;
    std::map<std::string, fs::path> index;
    std::vector<Problem> problems;    // problems_ as they were
    std::vector<Problem> unreadable;  // what the answer adds to them
    std::optional<FileStamp> workspace, pretext;
  };
  std::optional<Prepared> prepared_;
  std::map<std::string, fs::path> index_;
  Ledger ledger_;
  bool ledger_unsaved_ = false;  // "ledger.json" is behind `ledger_`
  std::vector<Problem> problems_;
  ChangeCheck changes_;
  WritePlanner planner_;
  // Documents deleted while the library runs, by the app or outside it: a conflict copy left
  // behind never brings one back.
  std::set<std::string> deleted_;
  PackageFolders folders_;
  Pending pending_;
  // Versions brought in that no "open" has told yet.
  std::vector<Problem> untold_;
  // When something that may still be arriving will have been there long enough.
  std::optional<std::chrono::system_clock::time_point> recheck_at_;
  // Second packages holding what this process last saw of their document, by path: when each was
  // first left as it is, and when the first of them has waited long enough.
  std::map<std::string, std::chrono::system_clock::time_point> held_;
  std::optional<std::chrono::system_clock::time_point> held_recheck_at_;
  // Pictures already looked for in the Trash ("package/name"): looked for once a run.
  std::set<std::string> looked_for_;
};

}  // namespace qs::library
