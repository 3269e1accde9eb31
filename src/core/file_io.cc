#include "core/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <stdexcept>

namespace qs::file_io {

namespace {

std::atomic<int> g_countdown{0};
std::atomic<int> g_counted{0};
std::atomic<int> g_error{0};
// The error of the last failure on this thread, kept apart from errno, which the clean-up after
// a failure changes.
thread_local int t_last_error = 0;

}  // namespace

// True when the injected failure is due now; sets errno like the real call would.
bool injectedFailure() {
  g_counted.fetch_add(1, std::memory_order_relaxed);
  int left = g_countdown.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_countdown.compare_exchange_weak(left, left - 1)) {
      if (left == 1) {
        if (g_error.load() == kCrashForTesting) ::kill(::getpid(), SIGKILL);
        if (g_error.load() == kThrowForTesting) throw std::runtime_error("an injected fault");
        errno = g_error.load();
        return true;
      }
      return false;
    }
  }
  return false;
}

namespace {

void setError(std::string* error, std::string_view what, const fs::path& path, int err) {
  t_last_error = err;
  if (error) *error = std::string(what) + " " + path.string() + ": " + std::strerror(err);
}

int openForWriting(int folder, const char* name, int flags, mode_t mode) {
  if (injectedFailure()) return -1;
  int fd;
  do fd = ::openat(folder, name, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    if (injectedFailure()) return false;
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool readAll(int fd, std::string& out) {
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

bool syncFd(int fd) {
  if (injectedFailure()) return false;
  // A failed fsync is not retried: after a failure the kernel may have dropped the dirty pages,
  // and a second fsync that succeeds would wrongly report the data as safe.
  return ::fsync(fd) == 0;
}

int closeKeepingErrno(int fd) {
  const int err = errno;
  const int result = ::close(fd);
  errno = err;
  return result;
}

std::optional<std::string> readFd(int fd, std::size_t limit) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > limit) {
    ::close(fd);
    return std::nullopt;
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > limit) {
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return out;
}

}  // namespace

std::string temporaryName(std::string_view name) {
  static std::atomic<unsigned> counter{0};
  thread_local std::mt19937 rng{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "%08x%04x", static_cast<unsigned>(rng()),
                counter.fetch_add(1) & 0xffff);
  // A name may be up to 255 bytes: keep room for the dot and the suffix, cutting the name at
  // a character boundary.
  std::size_t keep = std::min<std::size_t>(name.size(), 200);
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xc0) == 0x80)
    --keep;
  std::string out = ".";
  out.append(name.substr(0, keep)).append(".qs-tmp-").append(suffix);
  return out;
}

// ---- Folder ----

std::optional<Folder> Folder::open(const fs::path& path, Links links, std::string* error) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (links == Links::kRefuse ? O_NOFOLLOW : 0);
  int fd;
  do fd = ::open(path.c_str(), flags);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    setError(error, "couldn't open", path, errno == ELOOP ? ENOTDIR : errno);
    return std::nullopt;
  }
  return Folder(fd, path);
}

Folder::Folder(Folder&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

Folder::~Folder() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<Folder> Folder::sub(std::string_view name, Create create, std::string* error) const {
  const std::string n(name);
  const fs::path path = path_ / n;
  if (create == Create::kYes && !status(n)) {
    if (injectedFailure() || (::mkdirat(fd_, n.c_str(), 0755) != 0 && errno != EEXIST)) {
      setError(error, "couldn't create", path, errno);
      return std::nullopt;
    }
  }
  int fd;
  do fd = ::openat(fd_, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    setError(error, "couldn't open", path, errno == ELOOP ? ENOTDIR : errno);
    return std::nullopt;
  }
  return Folder(fd, path);
}

std::optional<struct stat> Folder::status(std::string_view name) const {
  struct stat st {};
  if (::fstatat(fd_, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return st;
}

std::optional<std::string> Folder::read(std::string_view name, std::size_t limit) const {
  // O_NONBLOCK: a named pipe put where a file is expected must not hang the reader.
  const int fd =
      ::openat(fd_, std::string(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  return readFd(fd, limit);
}

bool Folder::writeAtomically(std::string_view name, std::string_view bytes, Durability durability,
                             std::string* error) const {
  PendingFile file;
  return file.prepare(*this, name, bytes, error) && file.commit(durability, error);
}

bool Folder::removeFile(std::string_view name) const {
  return ::unlinkat(fd_, std::string(name).c_str(), 0) == 0;
}

bool Folder::removeEmptyFolder(std::string_view name) const {
  return ::unlinkat(fd_, std::string(name).c_str(), AT_REMOVEDIR) == 0;
}

std::optional<std::vector<std::string>> Folder::names() const {
  const int fd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<std::string> out;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view n = entry->d_name;
    if (n != "." && n != "..") out.emplace_back(n);
  }
  const bool failed = errno != 0;
  ::closedir(dir);
  if (failed) return std::nullopt;
  std::sort(out.begin(), out.end());
  return out;
}

bool Folder::sync(std::string* error) const {
  if (syncFd(fd_)) return true;
  setError(error, "couldn't sync", path_, errno);
  return false;
}

PendingFile::~PendingFile() {
  discard();
}

void PendingFile::discard() {
  if (folder_ >= 0) {
    if (!temporary_.empty()) ::unlinkat(folder_, temporary_.c_str(), 0);
    ::close(folder_);
  }
  folder_ = -1;
  temporary_.clear();
}

bool PendingFile::prepare(const fs::path& path, std::string_view bytes, std::string* error) {
  discard();
  path_ = path;
  const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
  auto folder = Folder::open(parent, Links::kFollow, error);
  if (!folder) return false;
  return prepare(*folder, path.filename().string(), bytes, error);
}

bool PendingFile::prepare(const Folder& folder, std::string_view name, std::string_view bytes,
                          std::string* error) {
  return prepareAt(folder.fd(), folder.path(), name, bytes, error);
}

bool PendingFile::prepareAt(int folder_fd, const fs::path& folder_path, std::string_view name,
                            std::string_view bytes, std::string* error) {
  discard();
  path_ = folder_path / std::string(name);
  name_ = std::string(name);
  const std::string temporary = temporaryName(name);
  const fs::path temporary_path = folder_path / temporary;
  int fd = openForWriting(folder_fd, temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    setError(error, "couldn't create", temporary_path, errno);
    return false;
  }
  auto fail = [&](std::string_view what, int open_fd) {
    int err = errno;
    if (open_fd >= 0) ::close(open_fd);
    ::unlinkat(folder_fd, temporary.c_str(), 0);
    setError(error, what, temporary_path, err);
    return false;
  };
  if (!writeAll(fd, bytes)) return fail("couldn't write", fd);
  if (!syncFd(fd)) return fail("couldn't sync", fd);
  if (closeKeepingErrno(fd) != 0) return fail("couldn't close", -1);
  folder_ = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
  if (folder_ < 0) {
    const int err = errno;
    ::unlinkat(folder_fd, temporary.c_str(), 0);
    setError(error, "couldn't keep the folder of", path_, err);
    return false;
  }
  temporary_ = temporary;
  return true;
}

bool PendingFile::commitExchanging(Durability durability, Displaced& displaced,
                                   std::string* error) {
  displaced = {};
  if (temporary_.empty() || folder_ < 0) return commit(durability, error);
  if (injectedFailure()) {
    setError(error, "couldn't rename to", path_, errno);
    return false;  // discard() removes the temporary file
  }
  if (::renameat2(folder_, temporary_.c_str(), folder_, name_.c_str(), RENAME_EXCHANGE) != 0) {
    // Nothing there to take out, or a file system that can't exchange: a plain rename.
    if (errno == ENOENT || errno == EINVAL || errno == ENOSYS) {
      return renameInto(durability, error, /*counted=*/true);
    }
    setError(error, "couldn't rename to", path_, errno);
    return false;
  }
  // The temporary name now holds what was replaced.
  if (durability == Durability::kSurvivesCrash && !syncFd(folder_)) {
    const int err = errno;
    // The exchange may not survive a crash: exchange back, so that the failure we report
    // matches what is on disk.
    (void)::renameat2(folder_, temporary_.c_str(), folder_, name_.c_str(), RENAME_EXCHANGE);
    discard();
    setError(error, "couldn't sync", path_.parent_path(), err);
    return false;
  }
  const int fd =
      ::openat(folder_, temporary_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd >= 0) {
    if (::fstat(fd, &displaced.status) == 0 && S_ISREG(displaced.status.st_mode)) {
      displaced.present = readAll(fd, displaced.bytes);
    }
    ::close(fd);
  }
  discard();  // the replaced file goes
  return true;
}

bool PendingFile::commit(Durability durability, std::string* error) {
  return renameInto(durability, error, /*counted=*/false);
}

bool PendingFile::renameInto(Durability durability, std::string* error, bool counted) {
  if (temporary_.empty() || folder_ < 0) {
    if (error) *error = "nothing prepared for " + path_.string();
    return false;
  }
  std::string previous;
  if (durability == Durability::kSurvivesCrash) {
    previous = temporaryName(name_);
    if (::linkat(folder_, name_.c_str(), folder_, previous.c_str(), 0) != 0) previous.clear();
  }
  if ((!counted && injectedFailure()) ||
      ::renameat(folder_, temporary_.c_str(), folder_, name_.c_str()) != 0) {
    int err = errno;
    if (!previous.empty()) ::unlinkat(folder_, previous.c_str(), 0);
    setError(error, "couldn't rename to", path_, err);
    return false;  // discard() removes the temporary file
  }
  temporary_.clear();
  if (durability == Durability::kSurvivesCrash && !syncFd(folder_)) {
    const int err = errno;
    // The rename may not survive a crash: put the previous file back so that the failure we
    // report matches what is on disk.
    if (!previous.empty()) {
      if (::renameat(folder_, previous.c_str(), folder_, name_.c_str()) != 0) {
        ::unlinkat(folder_, previous.c_str(), 0);
      }
    } else {
      ::unlinkat(folder_, name_.c_str(), 0);
    }
    discard();
    setError(error, "couldn't sync", path_.parent_path(), err);
    return false;
  }
  if (!previous.empty()) ::unlinkat(folder_, previous.c_str(), 0);
  discard();
  return true;
}

bool writeAtomically(const fs::path& path, std::string_view bytes, Durability durability,
                     std::string* error) {
  PendingFile file;
  return file.prepare(path, bytes, error) && file.commit(durability, error);
}

bool writeAtomicallyAt(int folder, std::string_view name, std::string_view bytes,
                       Durability durability, int* error_number) {
  PendingFile file;
  if (file.prepareAt(folder, fs::path(), name, bytes, nullptr) &&
      file.commit(durability, nullptr)) {
    return true;
  }
  if (error_number) *error_number = t_last_error;
  return false;
}

bool appendAt(int folder, std::string_view name, std::string_view bytes, int* error_number) {
  auto fail = [&](int err) {
    if (error_number) *error_number = err;
    return false;
  };
  // O_NONBLOCK: a named pipe put where the file should be must not hang the writer.
  const int fd = openForWriting(folder, std::string(name).c_str(),
                                O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK, 0);
  if (fd < 0) return fail(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(EINVAL);
  }
  if (!writeAll(fd, bytes)) {
    const int err = errno;
    // What got written is cut off again: a line is there whole or not at all.
    const int cut = ::ftruncate(fd, st.st_size);
    (void)cut;  // if even that fails, there is nothing more to do for it here
    ::close(fd);
    return fail(err);
  }
  ::close(fd);
  return true;
}

bool makeFolderAt(int folder, std::string_view name) {
  if (injectedFailure()) return false;
  return ::mkdirat(folder, std::string(name).c_str(), 0755) == 0 || errno == EEXIST;
}

bool renameAt(int from_folder, std::string_view from, int to_folder, std::string_view to) {
  if (injectedFailure()) return false;
  return ::renameat(from_folder, std::string(from).c_str(), to_folder, std::string(to).c_str()) ==
         0;
}

std::optional<std::string> readFile(const fs::path& path) {
  return readFileLimited(path, static_cast<std::size_t>(-1));
}

std::optional<std::string> readFileLimited(const fs::path& path, std::size_t limit) {
  // O_NONBLOCK: a named pipe put where a file is expected must not hang the reader.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  return readFd(fd, limit);
}

bool renameNoReplace(const fs::path& from, const fs::path& to, std::string* error) {
  if (injectedFailure() ||
      ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    setError(error, "couldn't rename to", to, errno);
    return false;
  }
  return true;
}

bool createFolders(const fs::path& path, std::string* error) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return true;
  if (path.has_parent_path() && path.parent_path() != path &&
      !createFolders(path.parent_path(), error)) {
    return false;
  }
  if (injectedFailure()) {
    setError(error, "couldn't create", path, errno);
    return false;
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    setError(error, "couldn't create", path, errno);
    return false;
  }
  if (!fs::is_directory(path, ec)) {
    setError(error, "couldn't create", path, ENOTDIR);
    return false;
  }
  return true;
}

bool syncFolder(const fs::path& folder, std::string* error) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, "couldn't open", folder, errno);
    return false;
  }
  bool ok = syncFd(fd);
  int err = errno;
  ::close(fd);
  if (!ok) setError(error, "couldn't sync", folder, err);
  return ok;
}

bool isTemporaryName(std::string_view name) {
  return name.starts_with(".") && name.find(".qs-tmp-") != std::string_view::npos;
}

int injectFailure_for_testing(int nth, int error_number) {
  g_error.store(error_number);
  g_countdown.store(nth);
  return g_counted.exchange(0);
}

}  // namespace qs::file_io
