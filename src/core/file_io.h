// Low-level file operations for everything the program must not lose: documents, the ledger,
// settings. Every call goes through one place so that tests can make the N-th operation fail
// (ENOSPC, EIO) and check that nothing is lost or taken for success. Callable from any thread.
#pragma once

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qs::file_io {

namespace fs = std::filesystem;

// Whether a rename must survive a crash: the folder is then fsynced after the rename.
enum class Durability { kFileOnly, kSurvivesCrash };

// Writes `bytes` to `path` atomically: a temporary file in the same folder, written in full,
// fsynced, renamed over `path`, and (kSurvivesCrash) the folder fsynced. On failure the old
// file is untouched, the temporary file is removed and `error` (when given) says why.
// A failed fsync is a failure: the data may not be on disk, so the rename never happens.
[[nodiscard]] bool write_atomically(const fs::path& path, std::string_view bytes,
                                    Durability durability = Durability::kSurvivesCrash,
                                    std::string* error = nullptr);

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
  // With kSurvivesCrash the folder is fsynced after the rename; if that fails, the previous
  // file (kept as a hard link during the rename) is put back, so a failure never leaves a
  // changed file behind it.
  [[nodiscard]] bool commit(Durability durability, std::string* error = nullptr);

 private:
  fs::path path_;
  fs::path temporary_;
};

// Reads a whole file; none when it can't be opened or read.
std::optional<std::string> read_file(const fs::path& path);

// Reads a whole file unless it is larger than `limit` bytes.
std::optional<std::string> read_file_limited(const fs::path& path, std::size_t limit);

// Creates a folder and its parents. Failure keeps errno's description in `error`.
[[nodiscard]] bool create_folders(const fs::path& path, std::string* error = nullptr);

// Fsyncs a folder so that a rename inside it survives a crash.
[[nodiscard]] bool sync_folder(const fs::path& folder, std::string* error = nullptr);

// Whether a name is one of our temporary files (never a document or an image).
bool is_temporary_name(std::string_view file_name);

// Fault injection for tests: the `nth` counted operation from now (1 = the next one) fails with
// `error_number`; 0 turns injection off. Counted operations: open for writing, write, fsync,
// rename, mkdir. Returns the number of operations counted since the last call.
int inject_failure_for_testing(int nth, int error_number);

}  // namespace qs::file_io
