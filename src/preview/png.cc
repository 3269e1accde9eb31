#include "preview/png.h"

#include <libdeflate.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

namespace qs::png {

namespace {

constexpr std::string_view kSignature = "\x89PNG\r\n\x1a\n";
// Beyond this a surface is not ours to encode (the thumbnail stops at 8192).
constexpr int kMaxSide = 16384;
// The fastest level. On a thumbnail (flat paper, a transparent margin, some text) it also
// compresses best with no row filter: the runs are long already and filters only add noise.
constexpr int kLevel = 1;

struct FreeCompressor {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

libdeflate_compressor* compressor() {
  // One per thread: a compressor holds its tables and is not to be shared.
  thread_local std::unique_ptr<libdeflate_compressor, FreeCompressor> c(
      libdeflate_alloc_compressor(kLevel));
  return c.get();
}

void put32(std::string& out, std::uint32_t v) {
  const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                         static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(bytes, 4);
}

std::uint32_t get32(std::string_view s, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

// Appends a chunk whose data was appended just before, from `start` (where its length goes).
void closeChunk(std::string& out, std::size_t start) {
  const std::size_t length = out.size() - start - 8;
  const std::array<char, 4> bytes = {static_cast<char>(length >> 24),
                                     static_cast<char>(length >> 16),
                                     static_cast<char>(length >> 8), static_cast<char>(length)};
  std::memcpy(out.data() + start, bytes.data(), 4);
  const std::uint32_t crc =
      static_cast<std::uint32_t>(libdeflate_crc32(0, out.data() + start + 4, length + 4));
  put32(out, crc);
}

std::size_t openChunk(std::string& out, std::string_view type) {
  const std::size_t start = out.size();
  out.append(4, '\0');
  out.append(type);
  return start;
}

// Cairo's premultiplied pixel as straight RGBA, rounded as Cairo's own PNG writer does.
inline void unpremultiply(std::uint32_t pixel, unsigned char* out) {
  const std::uint32_t a = pixel >> 24;
  out[0] = static_cast<unsigned char>((((pixel >> 16) & 0xFF) * 255 + a / 2) / a);
  out[1] = static_cast<unsigned char>((((pixel >> 8) & 0xFF) * 255 + a / 2) / a);
  out[2] = static_cast<unsigned char>(((pixel & 0xFF) * 255 + a / 2) / a);
  out[3] = static_cast<unsigned char>(a);
}

// One row of pixels as straight RGBA. Nearly every pixel of a thumbnail is opaque (the paper and
// its text), transparent, or black (the shadow): those only have their bytes reordered (a
// transparent pixel's colour is 0 already), in a first pass the compiler can vectorise; the
// few others are divided in a second.
void unpremultiplyRow(const unsigned char* row, int width, unsigned char* out) {
  for (int x = 0; x < width; ++x) {
    std::uint32_t pixel;
    std::memcpy(&pixel, row + 4 * static_cast<std::ptrdiff_t>(x), 4);
    const std::uint32_t rgba =
        ((pixel >> 16) & 0xFF) | (pixel & 0xFF00FF00) | ((pixel & 0xFF) << 16);
    std::memcpy(out + 4 * static_cast<std::ptrdiff_t>(x), &rgba, 4);
  }
  for (int x = 0; x < width; ++x) {
    std::uint32_t pixel;
    std::memcpy(&pixel, row + 4 * static_cast<std::ptrdiff_t>(x), 4);
    const std::uint32_t a = pixel >> 24;
    if (a == 0xFF || (pixel & 0xFFFFFF) == 0) continue;
    unsigned char* to = out + 4 * static_cast<std::ptrdiff_t>(x);
    if (a == 0) {
      std::memset(to, 0, 4);
    } else {
      unpremultiply(pixel, to);
    }
  }
}

// A buffer kept by each thread between encodings of images up to a thumbnail's size or so: a
// megabyte reused rather than allocated, zeroed and faulted in at every thumbnail. Larger
// images (seldom asked for) have buffers of their own.
class Scratch {
 public:
  unsigned char* get(std::size_t wanted) {
    if (wanted > kKept) {
      own_.reset(new unsigned char[wanted]);  // left uninitialised on purpose
      return own_.get();
    }
    if (wanted > size_) {
      kept_.reset();
      kept_.reset(new unsigned char[wanted]);
      size_ = wanted;
    }
    return kept_.get();
  }
  // Lets go of a buffer larger than those kept.
  void done() { own_.reset(); }

 private:
  static constexpr std::size_t kKept = 8 << 20;
  std::unique_ptr<unsigned char[]> kept_;
  std::size_t size_ = 0;
  std::unique_ptr<unsigned char[]> own_;
};

bool isKeyword(std::string_view k) {
  if (k.empty() || k.size() > 79 || k.front() == ' ' || k.back() == ' ') return false;
  for (unsigned char c : k) {
    if (c < 0x20 || (c > 0x7E && c < 0xA1)) return false;
  }
  return k.find("  ") == std::string_view::npos;
}

}  // namespace

std::optional<std::string> encodeARGB32(const unsigned char* pixels, int width, int height,
                                        int stride, const std::vector<Text>& texts) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || stride < width * 4)
    return std::nullopt;
  for (const auto& [keyword, text] : texts) {
    if (!isKeyword(keyword) || text.find('\0') != std::string::npos) return std::nullopt;
  }
  libdeflate_compressor* deflater = compressor();
  if (!deflater) return std::nullopt;

  // Each row: filter type 0 (none), then the pixels.
  const std::size_t row_bytes = 1 + static_cast<std::size_t>(width) * 4;
  const std::size_t raw_bytes = row_bytes * static_cast<std::size_t>(height);
  const std::size_t bound = libdeflate_zlib_compress_bound(deflater, raw_bytes);
  thread_local Scratch raw_scratch, packed_scratch;
  unsigned char* raw = raw_scratch.get(raw_bytes);
  unsigned char* packed_data = packed_scratch.get(bound);
  struct FreeOwn {
    ~FreeOwn() {
      raw_scratch.done();
      packed_scratch.done();
    }
  } free_own;
  for (int y = 0; y < height; ++y) {
    unsigned char* out = raw + row_bytes * static_cast<std::size_t>(y);
    out[0] = 0;
    unpremultiplyRow(pixels + static_cast<std::ptrdiff_t>(stride) * y, width, out + 1);
  }
  const std::size_t packed = libdeflate_zlib_compress(deflater, raw, raw_bytes, packed_data, bound);
  if (packed == 0) return std::nullopt;

  std::string out;
  std::size_t texts_bytes = 0;
  for (const auto& [keyword, text] : texts) texts_bytes += 12 + keyword.size() + 1 + text.size();
  out.reserve(kSignature.size() + 25 + texts_bytes + 12 + packed + 12);
  out.append(kSignature);
  std::size_t chunk = openChunk(out, "IHDR");
  put32(out, static_cast<std::uint32_t>(width));
  put32(out, static_cast<std::uint32_t>(height));
  out.append("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, adaptive filters, no interlace
  closeChunk(out, chunk);
  for (const auto& [keyword, text] : texts) {
    chunk = openChunk(out, "tEXt");
    out.append(keyword).append(1, '\0').append(text);
    closeChunk(out, chunk);
  }
  chunk = openChunk(out, "IDAT");
  out.append(reinterpret_cast<const char*>(packed_data), packed);
  closeChunk(out, chunk);
  chunk = openChunk(out, "IEND");
  closeChunk(out, chunk);
  return out;
}

std::optional<std::string> textOf(std::string_view file, std::string_view keyword) {
  if (!file.starts_with(kSignature)) return std::nullopt;
  std::optional<std::string> found;
  bool first = true;
  for (std::size_t at = kSignature.size();;) {
    if (file.size() - at < 12) return std::nullopt;
    const std::uint32_t length = get32(file, at);
    if (length > file.size() - at - 12) return std::nullopt;
    const std::string_view type = file.substr(at + 4, 4);
    const std::string_view data = file.substr(at + 8, length);
    const auto crc =
        static_cast<std::uint32_t>(libdeflate_crc32(0, file.data() + at + 4, length + 4));
    if (crc != get32(file, at + 8 + length)) return std::nullopt;
    if (first != (type == "IHDR")) return std::nullopt;
    first = false;
    at += 12 + length;
    if (type == "IEND") return at == file.size() ? found : std::nullopt;
    if (type == "tEXt" && data.size() > keyword.size() && data.starts_with(keyword) &&
        data[keyword.size()] == '\0') {
      found = std::string(data.substr(keyword.size() + 1));
    }
  }
}

}  // namespace qs::png
