#include "claude/exchange_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/file_io.h"

namespace qs::claude {

namespace {

// The folder `name` in `parent`, never through a link.
UniqueFd openFolderAt(int parent, const std::string& name, Missing missing, int& error) {
  if (missing == Missing::kCreate && !file_io::makeFolderAt(parent, name)) {
    error = errno;
    return UniqueFd();
  }
  UniqueFd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.valid()) return fd;
  error = errno;
  // A link to a folder fails as "not a folder"; say what it really is.
  struct stat st {};
  if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    error = ELOOP;
  }
  return UniqueFd();
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

OpenedFolder openBelow(const std::filesystem::path& root, std::string_view below, Missing missing) {
  OpenedFolder out;
  out.fd = UniqueFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!out.fd.valid()) {
    out.error = errno;
    return out;
  }
  for (std::size_t start = 0; start < below.size();) {
    const std::size_t end = std::min(below.find('/', start), below.size());
    int error = 0;
    out.fd =
        openFolderAt(out.fd.get(), std::string(below.substr(start, end - start)), missing, error);
    if (!out.fd.valid()) {
      out.error = error;
      out.where = below.substr(0, end);
      return out;
    }
    start = end + 1;
  }
  return out;
}

std::optional<std::string> readUntrustedAt(int folder, const std::string& name, std::size_t limit) {
  UniqueFd fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > limit) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > limit) return std::nullopt;  // it grew while being read
  }
  return out;
}

}  // namespace qs::claude
