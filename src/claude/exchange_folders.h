// The exchange's folders below the writing folder, opened one name at a time. The writing folder
// is followed when it is a symbolic link (people keep it in a synced folder); nothing below it
// ever is, so a link that another program put among ".quillstone/claude/..." can't make us read,
// write or delete anything outside the writing folder. Every file operation then works relative
// to a folder already open. Files are written through core/file_io (writeAtomicallyAt,
// appendAt), like every other file the program must not lose.
//
// Callable from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace qs::claude {

// A file descriptor, closed when it goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up the descriptor without closing it.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

enum class Missing { kFail, kCreate };

struct OpenedFolder {
  UniqueFd fd;  // valid when every name opened
  // Otherwise: errno's code (ELOOP: a symbolic link) and the path below the writing folder that
  // couldn't be opened, such as ".quillstone/claude".
  int error = 0;
  std::string where;
};

// Opens `root` and then each folder of the relative path `below` ("a/b/c") in turn; with
// kCreate, a missing folder is made.
OpenedFolder openBelow(const std::filesystem::path& root, std::string_view below, Missing missing);

// Reads `name` in `folder` (AT_FDCWD and a whole path will do) as a file another program may have
// put there: never through a symbolic link, never blocking on a FIFO, only a regular file and only
// up to `limit` bytes.
std::optional<std::string> readUntrustedAt(int folder, const std::string& name, std::size_t limit);

}  // namespace qs::claude
