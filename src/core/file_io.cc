#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>

namespace qs::file_io {

namespace {

std::atomic<int> g_countdown{0};
std::atomic<int> g_counted{0};
std::atomic<int> g_error{0};

// True when the injected failure is due now; sets errno like the real call would.
bool injected_failure() {
  g_counted.fetch_add(1, std::memory_order_relaxed);
  int left = g_countdown.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_countdown.compare_exchange_weak(left, left - 1)) {
      if (left == 1) {
        errno = g_error.load();
        return true;
      }
      return false;
    }
  }
  return false;
}

void set_error(std::string* error, std::string_view what, const fs::path& path, int err) {
  if (error) *error = std::string(what) + " " + path.string() + ": " + std::strerror(err);
}

int open_for_writing(const char* path, int flags, mode_t mode) {
  if (injected_failure()) return -1;
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    if (injected_failure()) return false;
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool sync_fd(int fd) {
  if (injected_failure()) return false;
  // A failed fsync is not retried: after a failure the kernel may have dropped the dirty pages,
  // and a second fsync that succeeds would wrongly report the data as safe.
  return ::fsync(fd) == 0;
}

std::string temporary_name_for(const fs::path& path) {
  static std::atomic<unsigned> counter{0};
  thread_local std::mt19937 rng{std::random_device{}()};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "%08x%04x", static_cast<unsigned>(rng()),
                counter.fetch_add(1) & 0xffff);
  return "." + path.filename().string() + ".qs-tmp-" + suffix;
}

}  // namespace

PendingFile::~PendingFile() {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

bool PendingFile::prepare(const fs::path& path, std::string_view bytes, std::string* error) {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  path_ = path;
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const fs::path temporary = folder / temporary_name_for(path);
  int fd = open_for_writing(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, 0644);
  if (fd < 0) {
    set_error(error, "couldn't create", temporary, errno);
    return false;
  }
  auto fail = [&](std::string_view what, int open_fd) {
    int err = errno;
    if (open_fd >= 0) ::close(open_fd);
    ::unlink(temporary.c_str());
    set_error(error, what, temporary, err);
    return false;
  };
  if (!write_all(fd, bytes)) return fail("couldn't write", fd);
  if (!sync_fd(fd)) return fail("couldn't sync", fd);
  if (::close(fd) != 0) return fail("couldn't close", -1);
  temporary_ = temporary;
  return true;
}

bool PendingFile::commit(Durability durability, std::string* error) {
  if (temporary_.empty()) {
    if (error) *error = "nothing prepared for " + path_.string();
    return false;
  }
  const fs::path folder = path_.has_parent_path() ? path_.parent_path() : fs::path(".");
  fs::path previous;
  if (durability == Durability::kSurvivesCrash) {
    previous = folder / temporary_name_for(path_);
    if (::link(path_.c_str(), previous.c_str()) != 0) previous.clear();
  }
  if (injected_failure() || ::rename(temporary_.c_str(), path_.c_str()) != 0) {
    int err = errno;
    if (!previous.empty()) ::unlink(previous.c_str());
    set_error(error, "couldn't rename to", path_, err);
    return false;  // the destructor removes the temporary file
  }
  temporary_.clear();
  if (durability == Durability::kSurvivesCrash && !sync_folder(folder, error)) {
    // The rename may not survive a crash: put the previous file back so that the failure we
    // report matches what is on disk.
    if (!previous.empty()) {
      if (::rename(previous.c_str(), path_.c_str()) != 0) ::unlink(previous.c_str());
    } else {
      ::unlink(path_.c_str());
    }
    return false;
  }
  if (!previous.empty()) ::unlink(previous.c_str());
  return true;
}

bool write_atomically(const fs::path& path, std::string_view bytes, Durability durability,
                      std::string* error) {
  PendingFile file;
  return file.prepare(path, bytes, error) && file.commit(durability, error);
}

std::optional<std::string> read_file(const fs::path& path) {
  return read_file_limited(path, static_cast<std::size_t>(-1));
}

std::optional<std::string> read_file_limited(const fs::path& path, std::size_t limit) {
  // O_NONBLOCK: a named pipe put where a file is expected must not hang the reader.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
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

bool create_folders(const fs::path& path, std::string* error) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return true;
  if (path.has_parent_path() && path.parent_path() != path &&
      !create_folders(path.parent_path(), error)) {
    return false;
  }
  if (injected_failure()) {
    set_error(error, "couldn't create", path, errno);
    return false;
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    set_error(error, "couldn't create", path, errno);
    return false;
  }
  if (!fs::is_directory(path, ec)) {
    set_error(error, "couldn't create", path, ENOTDIR);
    return false;
  }
  return true;
}

bool sync_folder(const fs::path& folder, std::string* error) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    set_error(error, "couldn't open", folder, errno);
    return false;
  }
  bool ok = sync_fd(fd);
  int err = errno;
  ::close(fd);
  if (!ok) set_error(error, "couldn't sync", folder, err);
  return ok;
}

bool is_temporary_name(std::string_view name) {
  return name.starts_with(".") && name.find(".qs-tmp-") != std::string_view::npos;
}

int inject_failure_for_testing(int nth, int error_number) {
  g_error.store(error_number);
  g_countdown.store(nth);
  return g_counted.exchange(0);
}

}  // namespace qs::file_io
