#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "preview/preview.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

// At 512 pixels, from the top-left corner: the card spans (76.8, 25.6) to (435.2, 486.4), its
// text box (116.2, 62.5) to (395.8, 449.5), the gold bar (116.2, 459.3) to (173.6, 463.4).
constexpr int kSize = 512;
constexpr int kCardTop = 25, kCardBottom = 486;  // rows the card's edges cover partly

struct Pixel {
  int a, r, g, b;  // premultiplied, as Cairo keeps them
};

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
  Pixel at(int x, int y) const {
    const unsigned char* row = cairo_image_surface_get_data(surface_.get()) +
                               y * cairo_image_surface_get_stride(surface_.get());
    const std::uint32_t p = reinterpret_cast<const std::uint32_t*>(row)[x];
    return {static_cast<int>(p >> 24), static_cast<int>((p >> 16) & 0xFF),
            static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF)};
  }
  // The smallest red value among opaque pixels of the rectangle: ink is dark, paper is not.
  int darkest(int left, int top, int right, int bottom) const {
    int darkest = 255;
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x)
        if (at(x, y).a == 255) darkest = std::min(darkest, at(x, y).r);
    return darkest;
  }

 private:
  std::shared_ptr<cairo_surface_t> surface_;
};

const auto doc = &testing::object;

std::optional<std::string> thumbnail(const json::object& d) {
  return Preview(d).thumbnailPNG(kSize);
}

constexpr int kPaperR = 251;  // 0.984 of 255
constexpr int kInkR = 36;     // 0.14 of 255

// An empty document: a card of plain paper with its gold bar on a transparent square, and a
// soft black shadow that fades below the card (a hard one would start at full strength).
TEST(Thumbnail, EmptyDocumentIsCardShadowAndBarOnTransparentSquare) {
  const Decoded image(thumbnail(doc("{}")));
  ASSERT_EQ(image.size(), kSize);
  for (int x : {0, kSize - 1})
    for (int y : {0, kSize - 1}) EXPECT_EQ(image.at(x, y).a, 0) << x << "," << y;
  const Pixel paper = image.at(kSize / 2, kSize / 2);
  EXPECT_NEAR(paper.r, kPaperR, 1);
  EXPECT_EQ(std::tuple(paper.a, image.darkest(117, 63, 395, 450), image.at(190, 461).r),
            std::tuple(255, paper.r, paper.r));
  EXPECT_LT(image.at(140, 461).b, paper.b - 100);  // gold

  // Black, under a fifth strong at the card's edge, gone by the square's; fainter above.
  const auto below = [&](int d) { return image.at(kSize / 2, kCardBottom + d); };
  EXPECT_EQ(below(1).r + below(1).g + below(1).b, 0);
  EXPECT_GT(below(1).a, below(13).a);
  EXPECT_LT(below(1).a, std::lround(0.22 * 255));
  EXPECT_EQ(image.at(kSize / 2, kSize - 1).a, 0);
  EXPECT_LT(image.at(kSize / 2, kCardTop - 4).a, below(4).a);
}

TEST(Thumbnail, TitleInFullInkAndBodyLighterOnlyWhereThereIsText) {
  const Decoded titled(thumbnail(doc(R"({"title": "Spring"})")));
  EXPECT_NEAR(titled.darkest(117, 63, 395, 110), kInkR, 3);
  EXPECT_EQ(titled.darkest(117, 110, 395, 450), titled.at(kSize / 2, kSize / 2).r);

  const Decoded body(thumbnail(doc(R"({"nodes": [{"text": "Only a body here"}]})")));
  EXPECT_NEAR(body.darkest(117, 63, 395, 90), std::lround((0.14 * 0.78 + 0.984 * 0.22) * 255), 3);

  // White space and newlines are no title.
  EXPECT_EQ(thumbnail(doc(R"({"title": " \n\t "})")), thumbnail(doc("{}")));
}

TEST(Thumbnail, SameDocumentGivesSameBytesOnAnyThread) {
  const json::object d = doc(R"({"title": "A Winter Garden", "nodes": [
    {"text": "The frost came early that year."},
    {"content": [{"text": "She wrote "}, {"text": "daily", "marks": [{"type": "bold"}]}]}]})");
  const std::optional<std::string> first = thumbnail(d);
  ASSERT_TRUE(first.has_value());
  std::vector<std::optional<std::string>> results(6);
  std::vector<std::thread> threads;
  for (auto& result : results) threads.emplace_back([&d, &result] { result = thumbnail(d); });
  for (std::thread& t : threads) t.join();
  for (const auto& result : results) EXPECT_EQ(result, first);
}

TEST(Thumbnail, SizeIsTruncatedAndBounded) {
  const Preview empty{json::object()};
  for (double bad : {0.0, 0.99, -3.0, 8193.0, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity()})
    EXPECT_FALSE(empty.thumbnailPNG(bad).has_value()) << bad;
  for (auto [asked, made] : {std::pair{1.0, 1}, {1.9, 1}, {64.7, 64}})
    EXPECT_EQ(Decoded(empty.thumbnailPNG(asked)).size(), made) << asked;
}

// Whatever the doc holds, a thumbnail comes out, and text that doesn't fit stops at the text
// box instead of running over the bar.
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
    const Decoded image(thumbnail(d));
    ASSERT_EQ(image.size(), kSize);
    EXPECT_EQ(image.at(0, 0).a, 0);
    EXPECT_GT(image.darkest(77, 451, 435, 458), 200);
  }
  EXPECT_LT(Decoded(thumbnail(docs.back())).darkest(117, 420, 395, 450), 150);
}

}  // namespace
}  // namespace qs
