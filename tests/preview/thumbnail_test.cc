#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "preview/preview.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

// At 512 pixels, from the top-left corner: the card spans (76.8, 25.6) to (435.2, 486.4), its
// text box (116.2, 62.5) to (395.8, 449.5), the gold bar (116.2, 459.3) to (173.6, 463.4).
constexpr int kSize = 512;

class Decoded {
 public:
  explicit Decoded(const std::optional<std::string>& png) {
    testing::TempDir dir;
    testing::writeText(dir / "t.png", png.value_or(""));
    surface_.reset(cairo_image_surface_create_from_png((dir / "t.png").c_str()),
                   cairo_surface_destroy);
    EXPECT_EQ(cairo_surface_status(surface_.get()), CAIRO_STATUS_SUCCESS);
  }
  int size() const { return cairo_image_surface_get_width(surface_.get()); }
  // A pixel as Cairo keeps it: ARGB, premultiplied.
  std::uint32_t at(int x, int y) const {
    const unsigned char* row = cairo_image_surface_get_data(surface_.get()) +
                               y * cairo_image_surface_get_stride(surface_.get());
    return reinterpret_cast<const std::uint32_t*>(row)[x];
  }
  // The smallest red value among opaque pixels of the rectangle: ink is dark, paper is not.
  int darkest(int left, int top, int right, int bottom) const {
    int darkest = 255;
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x)
        if (at(x, y) >> 24 == 255) darkest = std::min(darkest, int(at(x, y) >> 16 & 0xFF));
    return darkest;
  }

 private:
  std::shared_ptr<cairo_surface_t> surface_;
};

const auto doc = &testing::object;

// Whatever the doc holds, a thumbnail comes out, and text that doesn't fit stops at the text
// box instead of running over the bar; a size out of bounds draws nothing.
TEST(Thumbnail, MalformedHugeAndOverlongDocumentsStillDrawWithinTheBox) {
  std::string invalid = "bad \xC3\x28 bytes \xF0\x9F\x98 a NUL ";
  invalid += '\0';
  invalid += " a surrogate \xED\xA0\x80";
  const std::string unbroken = std::string(2'000'000, 'x') + "\xE2\x82";
  std::string many_lines;
  for (int i = 0; i < 200'000; ++i) many_lines += "line\r\n\xE2\x80\xA9";
  const std::string overlong =
      "A long paragraph that wraps over several lines of the little card, again and again and "
      "again, until the box is full and the rest is cut away.";

  auto with = [](const std::string& title, const std::string& text, std::size_t n = 1) {
    return json::object{{"title", title}, {"nodes", json::array(n, json::object{{"text", text}})}};
  };
  const std::vector<json::object> docs = {
      doc(R"({"title": 42, "nodes": "not a list"})"),
      doc(R"({"title": null, "nodes": [1, "two", null, [], {"content": 7, "text": []}]})"),
      doc(R"({"nodes": [{"content": [5, {"text": 9}, {"marks": "bold"}], "level": "x"}]})"),
      with(invalid, invalid),
      with(unbroken, unbroken),
      with("", many_lines),
      with("A title long enough to wrap", overlong, 12)};
  for (const json::object& d : docs) {
    const Decoded image(Preview(d).thumbnailPNG(kSize));
    ASSERT_EQ(image.size(), kSize);
    EXPECT_EQ(image.at(0, 0) >> 24, 0u);
    EXPECT_GT(image.darkest(77, 451, 435, 458), 200);
  }
  EXPECT_LT(Decoded(Preview(docs.back()).thumbnailPNG(kSize)).darkest(117, 420, 395, 450), 150);
  for (double bad : {0.99, 8193.0, std::numeric_limits<double>::quiet_NaN()})
    EXPECT_FALSE(Preview(json::object()).thumbnailPNG(bad)) << bad;
  EXPECT_EQ(Decoded(Preview(json::object()).thumbnailPNG(64.7)).size(), 64);
}

}  // namespace
}  // namespace qs
