#include "library/document_read.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>

#include "core/digest.h"
#include "core/file_io.h"
#include "library/images.h"

namespace qs::library {

namespace {

constexpr std::size_t kMaxParseDepth = 512;  // as json::parse
constexpr std::string_view kImagesFolder = "images";

fs::file_time_type file_time(const struct timespec& t) {
  return std::chrono::file_clock::from_sys(std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec))));
}

FileStamp stamp_of(const struct stat& st) {
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// The bytes of the regular file `name` in `folder_fd` and their stamp; none for a link, a folder
// or anything else. O_NONBLOCK: a named pipe put where a file is expected must not hang.
std::optional<std::pair<std::string, FileStamp>> read_file(int folder_fd, const char* name) {
  const int fd = ::openat(folder_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t have = 0;
  while (true) {
    if (have == bytes.size()) bytes.resize(std::max<std::size_t>(bytes.size() * 2, 4096));
    const ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(have);
  return std::make_pair(std::move(bytes), stamp_of(st));
}

// Parses as json::parse does (the same depth limit, no number that reads as infinity), into
// memory of this thread that the next parse reuses: the value must be gone by then.
class Parser {
 public:
  std::optional<json::value> parse(std::string_view text) {
    parser_.reset();  // what a failed parse left goes while its memory is still there
    resource_.emplace(buffer_.get(), kBuffer);
    parser_.reset(boost::json::storage_ptr(&*resource_));
    boost::system::error_code ec;
    parser_.write(text.data(), text.size(), ec);
    if (!ec) parser_.finish(ec);
    if (ec) return std::nullopt;
    json::value v = parser_.release();
    if (!all_finite(v)) return std::nullopt;
    return v;
  }

 private:
  static constexpr std::size_t kBuffer = 256 * 1024;

  static bool all_finite(const json::value& v) {
    std::vector<const json::value*> pending{&v};
    while (!pending.empty()) {
      const json::value* at = pending.back();
      pending.pop_back();
      if (at->is_double()) {
        if (!std::isfinite(at->get_double())) return false;
      } else if (at->is_array()) {
        for (const auto& e : at->get_array()) pending.push_back(&e);
      } else if (at->is_object()) {
        for (const auto& kv : at->get_object()) pending.push_back(&kv.value());
      }
    }
    return true;
  }

  static boost::json::parse_options options() {
    boost::json::parse_options o;
    o.max_depth = kMaxParseDepth;
    return o;
  }

  std::unique_ptr<unsigned char[]> buffer_{new unsigned char[kBuffer]};
  std::optional<boost::json::monotonic_resource> resource_;
  boost::json::stream_parser parser_{{}, options()};
};

// The file names of the image references in `v`.
void referenced_images(const json::value& v, std::set<std::string>& names) {
  std::vector<const json::value*> pending{&v};
  while (!pending.empty()) {
    const json::value* at = pending.back();
    pending.pop_back();
    if (at->is_string()) {
      if (at->get_string().starts_with(images::kReferencePrefix)) {
        if (auto name = images::referencedFile(at->get_string())) names.insert(std::move(*name));
      }
    } else if (at->is_array()) {
      for (const auto& e : at->get_array()) pending.push_back(&e);
    } else if (at->is_object()) {
      for (const auto& kv : at->get_object()) pending.push_back(&kv.value());
    }
  }
}

std::shared_ptr<const DocumentText> document_text(const json::object& envelope,
                                                  const json::object& doc,
                                                  const file_io::Folder& folder,
                                                  const std::string& bytes,
                                                  const FileStamp& stamp) {
  if (json::find_string(envelope, "format") != kFormat) return nullptr;
  auto text = std::make_shared<DocumentText>();
  // json::compact gives the text at its size: thousands of documents are kept, and a string
  // grown by appending holds up to twice what it needs.
  std::optional<std::string> written;
  std::set<std::string> referenced;
  referenced_images(doc, referenced);
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
  // Each character past ASCII becomes one \uXXXX, or two from U+10000 on. Eight bytes at a
  // time are passed over when they are all ASCII.
  auto escaped_extra = [](unsigned char byte) -> std::size_t {
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
    for (int k = 0; k < 8; ++k) text->ascii_size += escaped_extra(at[k]);
  }
  for (; at < end; ++at) text->ascii_size += escaped_extra(*at);
  text->ascii = text->ascii_size == text->doc.size();
  const json::object* stored = json::find_object(envelope, "record");
  const json::value* rev = stored ? stored->if_contains("rev") : nullptr;
  // A copy of its own: the parsed envelope's memory is reused by the next parse.
  text->rev_value = rev ? json::value(*rev, boost::json::storage_ptr()) : json::value(1);
  if (!json::append_compact(text->rev, text->rev_value)) return nullptr;
  if (const json::value* created = doc.if_contains("created")) {
    text->created = json::as_number(*created).value_or(0);
  }
  text->size = static_cast<std::uintmax_t>(stamp.size);
  text->date = file_time(stamp.modified);
  const auto digest = digest::sha256(bytes);
  text->hash = digest::hex(digest.data(), digest.size());
  return text;
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
  return stamp_of(st);
}

PackageRead readPackage(const fs::path& package, ReadDepth depth) {
  thread_local Parser parser;
  PackageRead out;
  out.depth = depth;
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  auto file = folder ? read_file(folder->fd(), kDocumentFile.data()) : std::nullopt;
  if (!file) {
    out.identity = {std::nullopt, std::string(kReasonUnreadable)};
    return out;
  }
  out.stamp = file->second;
  {
    auto parsed = parser.parse(file->first);
    const json::object* envelope = parsed ? parsed->if_object() : nullptr;
    const json::object* doc = envelope ? json::find_object(*envelope, "doc") : nullptr;
    auto id = doc ? json::find_string(*doc, "id") : std::nullopt;
    if (!id) {
      out.identity = {std::nullopt, std::string(kReasonNotDocument)};
      return out;
    }
    out.identity = {std::string(*id), {}};
    if (depth == ReadDepth::kDocument) {
      out.text = document_text(*envelope, *doc, *folder, file->first, file->second);
    }
  }
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

}  // namespace qs::library
