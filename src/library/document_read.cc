#include "library/document_read.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "core/digest.h"
#include "core/file_io.h"
#include "library/document_stream.h"
#include "library/images.h"

namespace qs::library {

namespace {

constexpr std::size_t kMaxParseDepth = 512;  // as json::parse
constexpr std::string_view kImagesFolder = "images";

fs::file_time_type fileTime(const struct timespec& t) {
  return std::chrono::file_clock::from_sys(std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec))));
}

FileStamp stampOf(const struct stat& st) {
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// The bytes of "document.json", read into memory its thread keeps: the bytes are gone once the
// text is made, and the next read reuses it.
class ReadBuffer {
 public:
  // The stamp of the regular file `name` in `folder_fd`, its bytes in bytes(); none for a link, a
  // folder or anything else. O_NONBLOCK: a named pipe put where a file is expected must not hang.
  std::optional<FileStamp> read(int folder_fd, const char* name) {
    if (buffer_.size() > kKept) std::string().swap(buffer_);  // the last large file is done with
    size_ = 0;
    const int fd = ::openat(folder_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return std::nullopt;
    }
    // Room for a byte more than the file holds: a read that comes back short has met the end,
    // so a file as large as its stamp says is read in one call.
    std::size_t want = static_cast<std::size_t>(st.st_size) + 1;
    while (true) {
      if (buffer_.size() < size_ + want) buffer_.resize(std::max(size_ + want, std::size_t{4096}));
      const ssize_t n = ::read(fd, buffer_.data() + size_, want);
      if (n < 0) {
        if (errno == EINTR) continue;
        ::close(fd);
        return std::nullopt;
      }
      size_ += static_cast<std::size_t>(n);
      if (static_cast<std::size_t>(n) < want) break;
      want = std::max<std::size_t>(size_, 4096);  // it grew since: read on to its end
    }
    ::close(fd);
    return stampOf(st);
  }

  std::string_view bytes() const { return {buffer_.data(), size_}; }

 private:
  static constexpr std::size_t kKept = 8 << 20;
  std::string buffer_;
  std::size_t size_ = 0;
};

// Fills in what follows from `text->doc` once it is written, and the record's and file's part.
// Null when the rev can't be written.
std::shared_ptr<const DocumentText> completed(std::shared_ptr<DocumentText> text, json::value rev,
                                              double created, std::string_view bytes,
                                              const FileStamp& stamp) {
  // Each character past ASCII becomes one \uXXXX, or two from U+10000 on. Eight bytes at a
  // time are passed over when they are all ASCII.
  auto escapedExtra = [](unsigned char byte) -> std::size_t {
    if (byte >= 0xF0) return 8;  // 4 bytes, 12 characters
    if (byte >= 0xE0) return 3;  // 3 bytes, 6 characters
    if (byte >= 0xC0) return 4;  // 2 bytes, 6 characters
    return 0;
  };
  text->ascii_size = text->doc.size();
  const auto* at = reinterpret_cast<const unsigned char*>(text->doc.data());
  const auto* const end = at + text->doc.size();
  for (std::uint64_t word; end - at >= 8; at += 8) {
    std::memcpy(&word, at, 8);
    if ((word & 0x8080808080808080u) == 0) continue;
    for (int k = 0; k < 8; ++k) text->ascii_size += escapedExtra(at[k]);
  }
  for (; at < end; ++at) text->ascii_size += escapedExtra(*at);
  text->ascii = text->ascii_size == text->doc.size();
  text->rev_value = std::move(rev);
  if (!json::appendCompact(text->rev, text->rev_value)) return nullptr;
  text->created = created;
  text->size = static_cast<std::uintmax_t>(stamp.size);
  text->date = fileTime(stamp.modified);
  text->hash = digest::contentStamp(bytes);
  return text;
}

// The document from its parsed tree: image references restored.
std::shared_ptr<const DocumentText> documentText(const json::object& envelope,
                                                 const json::object& doc,
                                                 const file_io::Folder& folder,
                                                 std::string_view bytes, const FileStamp& stamp) {
  if (json::findString(envelope, "format") != kFormat) return nullptr;
  auto text = std::make_shared<DocumentText>();
  // json::compact gives the text at its size: thousands of documents are kept, and a string
  // grown by appending holds up to twice what it needs.
  std::optional<std::string> written;
  std::set<std::string> referenced;
  images::referencedImages(doc, referenced);
  if (referenced.empty()) {
    if (!(written = json::compact(doc))) return nullptr;
  } else {
    const json::value restored = images::restoreImages(doc, folder, &text->missing_images);
    if (!(written = json::compact(restored))) return nullptr;
    auto images = folder.sub(kImagesFolder);
    for (const auto& name : referenced) {
      if (text->missing_images.contains(name)) continue;
      if (auto image = images ? fileStamp(images->fd(), name.c_str()) : std::nullopt) {
        text->images.emplace_back(name, *image);
      } else {
        text->missing_images.insert(name);  // gone since; read again next time
      }
    }
  }
  text->doc = std::move(*written);
  const json::object* stored = json::findObject(envelope, "record");
  const json::value* rev = stored ? stored->if_contains("rev") : nullptr;
  double created = 0;
  if (const json::value* at = doc.if_contains("created")) created = json::asNumber(*at).value_or(0);
  return completed(std::move(text), rev ? *rev : json::value(1), created, bytes, stamp);
}

// The identity and, with kDocument, the text from the tree of the whole file.
void readAsTree(std::string_view bytes, const file_io::Folder& folder, PackageRead& out) {
  auto parsed = json::parse(bytes, kMaxParseDepth);
  const json::object* envelope = parsed ? parsed->if_object() : nullptr;
  const json::object* doc = envelope ? json::findObject(*envelope, "doc") : nullptr;
  auto id = doc ? json::findString(*doc, "id") : std::nullopt;
  if (!id) {
    out.identity = {std::nullopt, std::string(kReasonNotDocument)};
    return;
  }
  out.identity = {std::string(*id), {}};
  if (out.depth == ReadDepth::kDocument) {
    out.text = documentText(*envelope, *doc, folder, bytes, *out.stamp);
  }
}

}  // namespace

bool FileStamp::operator==(const FileStamp& o) const {
  return device == o.device && inode == o.inode && size == o.size &&
         modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
         changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
}

std::optional<FileStamp> fileStamp(int folder_fd, const char* name) {
  struct stat st {};
  if (::fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  return stampOf(st);
}

PackageRead readPackage(const fs::path& package, ReadDepth depth) {
  thread_local ReadBuffer buffer;
  PackageRead out;
  out.depth = depth;
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  const auto folder_stamp = folder ? folderStamp(folder->fd()) : std::nullopt;
  out.stamp = folder ? buffer.read(folder->fd(), kDocumentFile.data()) : std::nullopt;
  if (!out.stamp) {
    out.identity = {std::nullopt, std::string(kReasonUnreadable), folder_stamp};
    return out;
  }
  out.identity.folder = folder_stamp;
  const std::string_view bytes = buffer.bytes();
  StreamedDocument streamed;
  switch (streamDocument(bytes, depth == ReadDepth::kDocument, streamed)) {
    case StreamOutcome::kNeedsTree:
      readAsTree(bytes, *folder, out);
      out.identity.folder = folder_stamp;
      return out;
    case StreamOutcome::kNotJSON:
      break;
    case StreamOutcome::kRead:
      if (!streamed.id) break;
      out.identity = {std::move(*streamed.id), {}, folder_stamp};
      if (depth == ReadDepth::kDocument && streamed.format && streamed.doc_written) {
        auto text = std::make_shared<DocumentText>();
        text->doc.assign(streamed.doc);
        out.text =
            completed(std::move(text), streamed.rev ? std::move(*streamed.rev) : json::value(1),
                      streamed.created, bytes, *out.stamp);
      }
      return out;
  }
  out.identity = {std::nullopt, std::string(kReasonNotDocument), folder_stamp};
  return out;
}

std::vector<PackageRead> readPackages(const std::vector<fs::path>& packages, ReadDepth depth,
                                      const std::vector<const PackageRead*>& earlier) {
  std::vector<PackageRead> out(packages.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    constexpr std::size_t kChunk = 16;
    for (std::size_t start; (start = next.fetch_add(kChunk)) < packages.size();) {
      const std::size_t end = std::min(start + kChunk, packages.size());
      for (std::size_t i = start; i < end; ++i) {
        const PackageRead* last = i < earlier.size() ? earlier[i] : nullptr;
        out[i] = last && stillCurrent(packages[i], *last, depth) ? *last
                                                                 : readPackage(packages[i], depth);
      }
    }
  };
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t helpers = packages.size() < 64 ? 0 : std::min<std::size_t>(cores, 8) - 1;
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  for (std::size_t i = 0; i < helpers; ++i) threads.emplace_back(work);
  work();
  for (auto& t : threads) t.join();
  return out;
}

bool stillCurrent(const fs::path& package, const PackageRead& read, ReadDepth depth) {
  if (!read.stamp || (depth == ReadDepth::kDocument && read.depth != ReadDepth::kDocument)) {
    return false;
  }
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  if (!folder) return false;
  // A file added beside "document.json" (a version a sync tool set aside) is looked at again.
  if (read.identity.folder != folderStamp(folder->fd())) return false;
  auto stamp = fileStamp(folder->fd(), kDocumentFile.data());
  if (!stamp || !(*stamp == *read.stamp)) return false;
  if (!read.text || read.text->images.empty())
    return !read.text || read.text->missing_images.empty();
  if (!read.text->missing_images.empty()) return false;
  auto images = folder->sub(kImagesFolder);
  if (!images) return false;
  for (const auto& [name, was] : read.text->images) {
    auto now = fileStamp(images->fd(), name.c_str());
    if (!now || !(*now == was)) return false;
  }
  return true;
}

std::optional<std::int64_t> integerOf(const json::value* v) {
  if (!v) return std::nullopt;
  if (v->is_int64()) return v->get_int64();
  if (v->is_uint64()) {
    return static_cast<std::int64_t>(
        std::min<std::uint64_t>(v->get_uint64(), std::numeric_limits<std::int64_t>::max()));
  }
  if (v->is_double()) {
    const double d = v->get_double();
    if (!std::isfinite(d)) return std::nullopt;
    if (d >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace qs::library
