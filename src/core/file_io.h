// Low-level file operations for everything the program must not lose: documents, the ledger,
// settings. Every call goes through one place so that tests can make the N-th operation fail
// (ENOSPC, EIO) and check that nothing is lost or taken for success. Callable from any thread.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qs::file_io {

namespace fs = std::filesystem;

// Whether a rename must survive a crash: the folder is then fsynced after the rename.
enum class Durability { kFileOnly, kSurvivesCrash };

// Writes `bytes` to `path` atomically: a temporary file in the same folder, written in full,
// fsynced, renamed over `path`, and (kSurvivesCrash) the folder fsynced. On failure the old
// file is untouched, the temporary file is removed and `error` (when given) says why.
// A failed fsync is a failure: the data may not be on disk, so the rename never happens.
[[nodiscard]] bool writeAtomically(const fs::path& path, std::string_view bytes,
                                   Durability durability = Durability::kSurvivesCrash,
                                   std::string* error = nullptr);

// Whether opening a folder follows a link as the last part of its path.
enum class Links { kFollow, kRefuse };

// An open folder. What is read, written, listed or removed in it is found relative to it
// (openat), never through a link inside it, so a link another program puts there can't send a
// read or a write anywhere else.
class Folder {
 public:
  enum class Create { kNo, kYes };

  // None when `path` isn't a folder, or (kRefuse) is a link.
  static std::optional<Folder> open(const fs::path& path, Links links,
                                    std::string* error = nullptr);
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder();

  const fs::path& path() const { return path_; }
  int fd() const { return fd_; }

  // A real folder inside this one (never a link), made first with kYes.
  std::optional<Folder> sub(std::string_view name, Create create = Create::kNo,
                            std::string* error = nullptr) const;
  // The entry itself (a link is not followed); none when there is none.
  std::optional<struct stat> status(std::string_view name) const;
  // A regular file's bytes; none for a link, a folder or anything else.
  std::optional<std::string> read(std::string_view name,
                                  std::size_t limit = static_cast<std::size_t>(-1)) const;
  // As writeAtomically below, in this folder: a link of that name is replaced, not followed.
  [[nodiscard]] bool writeAtomically(std::string_view name, std::string_view bytes,
                                     Durability durability, std::string* error = nullptr) const;
  // Removes a file, or a link itself (never what it points to).
  bool removeFile(std::string_view name) const;
  // Removes a folder that is empty.
  bool removeEmptyFolder(std::string_view name) const;
  // The names inside, sorted by bytes; none when the folder can't be read.
  std::optional<std::vector<std::string>> names() const;
  [[nodiscard]] bool sync(std::string* error = nullptr) const;

 private:
  Folder(int fd, fs::path path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  fs::path path_;
};

// A file written in two steps, so that several files can be prepared before any is put in place:
// `prepare` writes and fsyncs a temporary file beside `path`; `commit` renames it over `path`.
// A prepared file that is never committed is removed when the object goes.
class PendingFile {
 public:
  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  [[nodiscard]] bool prepare(const fs::path& path, std::string_view bytes,
                             std::string* error = nullptr);
  // The same for the file `name` in `folder`.
  [[nodiscard]] bool prepare(const Folder& folder, std::string_view name, std::string_view bytes,
                             std::string* error = nullptr);
  // The same in the folder open as `folder_fd`, which `folder_path` names in messages.
  [[nodiscard]] bool prepareAt(int folder_fd, const fs::path& folder_path, std::string_view name,
                               std::string_view bytes, std::string* error = nullptr);
  // With kSurvivesCrash the folder is fsynced after the rename; if that fails, the previous
  // file (kept as a hard link during the rename) is put back, so a failure never leaves a
  // changed file behind it.
  [[nodiscard]] bool commit(Durability durability, std::string* error = nullptr);
  // The file a commit replaced, taken out in the same step as the new one went in (an exchange
  // of the two names), so that what another program put there a moment before is never lost in
  // between. `present` is false when nothing was there, or the file system can't exchange.
  struct Displaced {
    bool present = false;
    std::string bytes;
    struct stat status {};
  };
  [[nodiscard]] bool commitExchanging(Durability durability, Displaced& displaced,
                                      std::string* error = nullptr);

 private:
  void discard();
  // The rename of a commit; `counted`: its operation was counted already.
  bool renameInto(Durability durability, std::string* error, bool counted);
  int folder_ = -1;  // our own descriptor of the folder
  fs::path path_;
  std::string name_;
  std::string temporary_;
};

// As writeAtomically, in a folder the caller holds open as the descriptor `folder` (kept
// open); a link named `name` is replaced, not followed. On failure `error_number` gets the
// error (errno's code).
[[nodiscard]] bool writeAtomicallyAt(int folder, std::string_view name, std::string_view bytes,
                                     Durability durability, int* error_number = nullptr);

// Appends `bytes` to the regular file `name` in the open folder `folder`, never through a link.
// A write that fails part way is cut off again, so the file keeps its old bytes or gets all the
// new ones. On failure `error_number` gets the error: ENOENT when there is no such file, ELOOP
// for a link, EINVAL for something else than a regular file.
[[nodiscard]] bool appendAt(int folder, std::string_view name, std::string_view bytes,
                            int* error_number = nullptr);

// Makes the folder `name` in the open folder `folder`; one already there is no failure. Sets
// errno on failure.
[[nodiscard]] bool makeFolderAt(int folder, std::string_view name);

// renameat(2), counted with the operations below. Sets errno on failure.
[[nodiscard]] bool renameAt(int from_folder, std::string_view from, int to_folder,
                            std::string_view to);

// Renames a file or folder, failing when something is already at `to` (even an empty folder).
[[nodiscard]] bool renameNoReplace(const fs::path& from, const fs::path& to,
                                   std::string* error = nullptr);

// A temporary name for something that will become `name`: hidden, unique, and recognised by
// isTemporaryName.
std::string temporaryName(std::string_view name);

// Reads a whole file; none when it can't be opened or read.
std::optional<std::string> readFile(const fs::path& path);

// Reads a whole file unless it is larger than `limit` bytes.
std::optional<std::string> readFileLimited(const fs::path& path, std::size_t limit);

// Creates a folder and its parents. Failure keeps errno's description in `error`.
[[nodiscard]] bool createFolders(const fs::path& path, std::string* error = nullptr);

// Fsyncs a folder so that a rename inside it survives a crash.
[[nodiscard]] bool syncFolder(const fs::path& folder, std::string* error = nullptr);

// Whether a name is one of our temporary files (never a document or an image).
bool isTemporaryName(std::string_view file_name);

// Fault injection for tests: the `nth` counted operation from now (1 = the next one) fails with
// `error_number`; 0 turns injection off. Counted operations: open for writing, write, fsync,
// rename, mkdir, and those of the writers below. Returns the number of operations counted since
// the last call. With kCrashForTesting the process kills itself (SIGKILL) instead, just before
// that operation; with kThrowForTesting the operation throws std::runtime_error (never to be
// used where the count reaches a C library's callbacks, as the search index's does).
inline constexpr int kCrashForTesting = -1;
inline constexpr int kThrowForTesting = -2;
int injectFailure_for_testing(int nth, int error_number);

// For writers whose calls don't go through this file (the search index's database): counts one
// operation as above; true, with errno set, when the injected failure falls on it.
bool injectedFailure();

}  // namespace qs::file_io
