// PNG files of Cairo's image surfaces, written quickly and the same way every time: no row
// filter and the fastest level of libdeflate. What the thumbnail needs, nothing more: 8-bit RGBA,
// no interlacing, text chunks. Pure; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qs::png {

// A tEXt chunk: a keyword (1 to 79 printable Latin-1 characters) and its text.
using Text = std::pair<std::string, std::string>;

// The PNG of `height` rows of premultiplied ARGB32 pixels (Cairo's CAIRO_FORMAT_ARGB32),
// `stride` bytes apart, with `texts` before the image data. None when the sizes are unusable or
// memory runs out.
std::optional<std::string> encodeARGB32(const unsigned char* pixels, int width, int height,
                                        int stride, const std::vector<Text>& texts = {});

// The text of the tEXt chunk named `keyword` in `file`, when `file` is one whole PNG whose
// chunks all check out (signature, lengths, CRCs, IHDR first and IEND last); none otherwise.
std::optional<std::string> textOf(std::string_view file, std::string_view keyword);

}  // namespace qs::png
