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
void close_chunk(std::string& out, std::size_t start) {
  const std::size_t length = out.size() - start - 8;
  const std::array<char, 4> bytes = {static_cast<char>(length >> 24),
                                     static_cast<char>(length >> 16),
                                     static_cast<char>(length >> 8), static_cast<char>(length)};
  std::memcpy(out.data() + start, bytes.data(), 4);
  const std::uint32_t crc =
      static_cast<std::uint32_t>(libdeflate_crc32(0, out.data() + start + 4, length + 4));
  put32(out, crc);
}

std::size_t open_chunk(std::string& out, std::string_view type) {
  const std::size_t start = out.size();
  out.append(4, '\0');
  out.append(type);
  return start;
}

// Cairo's premultiplied pixel as straight RGBA, rounded as Cairo's own PNG writer does.
inline void unpremultiply(std::uint32_t pixel, unsigned char* out) {
  const std::uint32_t a = pixel >> 24;
  if (a == 0xFF) {
    out[0] = static_cast<unsigned char>(pixel >> 16);
    out[1] = static_cast<unsigned char>(pixel >> 8);
    out[2] = static_cast<unsigned char>(pixel);
    out[3] = 0xFF;
  } else if (a == 0) {
    std::memset(out, 0, 4);
  } else {
    out[0] = static_cast<unsigned char>((((pixel >> 16) & 0xFF) * 255 + a / 2) / a);
    out[1] = static_cast<unsigned char>((((pixel >> 8) & 0xFF) * 255 + a / 2) / a);
    out[2] = static_cast<unsigned char>(((pixel & 0xFF) * 255 + a / 2) / a);
    out[3] = static_cast<unsigned char>(a);
  }
}

bool is_keyword(std::string_view k) {
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
    if (!is_keyword(keyword) || text.find('\0') != std::string::npos) return std::nullopt;
  }
  libdeflate_compressor* deflater = compressor();
  if (!deflater) return std::nullopt;

  // Each row: filter type 0 (none), then the pixels.
  const std::size_t row_bytes = 1 + static_cast<std::size_t>(width) * 4;
  std::string raw(row_bytes * static_cast<std::size_t>(height), '\0');
  for (int y = 0; y < height; ++y) {
    auto* out = reinterpret_cast<unsigned char*>(raw.data()) + row_bytes * y + 1;
    const auto* row = pixels + static_cast<std::ptrdiff_t>(stride) * y;
    for (int x = 0; x < width; ++x) {
      std::uint32_t pixel;
      std::memcpy(&pixel, row + 4 * x, 4);
      unpremultiply(pixel, out + 4 * x);
    }
  }

  std::string out(kSignature);
  std::size_t chunk = open_chunk(out, "IHDR");
  put32(out, static_cast<std::uint32_t>(width));
  put32(out, static_cast<std::uint32_t>(height));
  out.append("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, adaptive filters, no interlace
  close_chunk(out, chunk);
  for (const auto& [keyword, text] : texts) {
    chunk = open_chunk(out, "tEXt");
    out.append(keyword).append(1, '\0').append(text);
    close_chunk(out, chunk);
  }
  chunk = open_chunk(out, "IDAT");
  const std::size_t data_at = out.size();
  out.resize(data_at + libdeflate_zlib_compress_bound(deflater, raw.size()));
  const std::size_t packed = libdeflate_zlib_compress(deflater, raw.data(), raw.size(),
                                                      out.data() + data_at, out.size() - data_at);
  if (packed == 0) return std::nullopt;
  out.resize(data_at + packed);
  close_chunk(out, chunk);
  chunk = open_chunk(out, "IEND");
  close_chunk(out, chunk);
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
