#include "preview/png.h"

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qs::png {
namespace {

// The inflated image data of a PNG (its IDAT chunks joined).
std::string rowsOf(const std::string& file, std::size_t expected) {
  std::string data;
  for (std::size_t at = 8; at + 12 <= file.size();) {
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(file[at + i]);
    if (file.compare(at + 4, 4, "IDAT") == 0) data.append(file, at + 8, length);
    at += 12 + length;
  }
  std::string rows(expected, '\0');
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  std::size_t got = 0;
  const auto result =
      libdeflate_zlib_decompress(d, data.data(), data.size(), rows.data(), rows.size(), &got);
  libdeflate_free_decompressor(d);
  EXPECT_EQ(result, LIBDEFLATE_SUCCESS);
  rows.resize(got);
  return rows;
}

// Every alpha with colours at and around the premultiplied limits, in rows of `width` with a
// stride wider than the row: each pixel comes out straight, rounded to the nearest, and a
// transparent pixel all zero whatever colour it carried.
TEST(Png, EveryPixelComesOutStraightAndTheSameOnEveryCall) {
  constexpr int kWidth = 37;
  std::vector<std::uint32_t> pixels;
  for (std::uint32_t a = 0; a < 256; ++a) {
    for (std::uint32_t c : {0u, 1u, a / 3, a / 2, a == 0 ? 0 : a - 1, a})
      pixels.push_back(a << 24 | c << 16 | (a - c) / 2 << 8 | (c * 7) % (a + 1));
  }
  pixels.push_back(0x00123456);  // transparent with a stray colour
  while (pixels.size() % kWidth) pixels.push_back(0xFF102030);
  const int height = static_cast<int>(pixels.size() / kWidth);
  const int stride = kWidth * 4 + 12;
  std::vector<unsigned char> surface(static_cast<std::size_t>(stride) * height, 0xAB);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    std::memcpy(&surface[(i / kWidth) * stride + (i % kWidth) * 4], &pixels[i], 4);

  const auto png = encodeARGB32(surface.data(), kWidth, height, stride, {{"Key", "value"}});
  ASSERT_TRUE(png);
  EXPECT_EQ(textOf(*png, "Key"), "value");
  const std::string rows = rowsOf(*png, (1 + 4 * kWidth) * static_cast<std::size_t>(height));
  ASSERT_EQ(rows.size(), (1 + 4 * kWidth) * static_cast<std::size_t>(height));
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const std::size_t row = i / kWidth;
    if (i % kWidth == 0) {
      EXPECT_EQ(rows[row * (1 + 4 * kWidth)], 0) << "filter of row " << row;
    }
    const std::uint32_t p = pixels[i], a = p >> 24;
    auto straight = [a](std::uint32_t c) { return a == 0 ? 0 : (c * 255 + a / 2) / a; };
    const std::uint32_t want[4] = {straight(p >> 16 & 0xFF), straight(p >> 8 & 0xFF),
                                   straight(p & 0xFF), a};
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(static_cast<unsigned char>(rows[row * (1 + 4 * kWidth) + 1 + (i % kWidth) * 4 + k]),
                want[k] & 0xFF)
          << "pixel " << std::hex << p << " byte " << k;
    }
  }

  // Buffers reused between calls, of another size in between, change nothing.
  const std::vector<unsigned char> small(4 * 3 * 2, 0x7F);
  ASSERT_TRUE(encodeARGB32(small.data(), 3, 2, 12));
  EXPECT_EQ(encodeARGB32(surface.data(), kWidth, height, stride, {{"Key", "value"}}), png);
}

}  // namespace
}  // namespace qs::png
