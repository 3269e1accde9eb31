#include "preview/preview.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

#include "core/digest.h"
#include "library/images.h"
#include "preview/png.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using testing::object;

// The pixel size of the image a data URL holds; (0, 0) when it doesn't decode.
std::pair<int, int> sizeOf(std::string_view data_url) {
  const auto bytes = digest::base64Decode(data_url.substr(data_url.find(',') + 1));
  g_autoptr(GdkPixbufLoader) loader = gdk_pixbuf_loader_new();
  if (!bytes ||
      !gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes->data()),
                               bytes->size(), nullptr) ||
      !gdk_pixbuf_loader_close(loader, nullptr))
    return {0, 0};
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  return {gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf)};
}

std::string dataURL(std::string_view header, std::string_view bytes) {
  return "data:" + std::string(header) + "," + digest::base64Encode(bytes);
}

class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override { Preview::clearCache_for_testing(); }
  void TearDown() override { Preview::clearCache_for_testing(); }
  // The page's body: what follows the template's "<body>" up to "</body></html>".
  static std::string htmlBody(std::string_view doc) {
    const std::string page = Preview(object(doc)).html(), open = "</style></head><body>",
                      end = "</body></html>";
    const auto at = page.find(open);
    if (at == std::string::npos || !page.ends_with(end)) return "<malformed page>";
    return page.substr(at + open.size(), page.size() - at - open.size() - end.size());
  }
  static std::string markdown(std::string_view doc) { return Preview(object(doc)).markdown(); }
};

// Each document's page body and Markdown: heading levels (a stray huge one written with a
// bounded run of "#"), the subtext tree, and image nodes.
TEST_F(PreviewTest, HeadingsSubtextAndImagesInBothForms) {
  const std::string big = dataURL("image/png;base64", std::string(3000, 'z'));
  const auto parts = images::imageParts(big);
  ASSERT_TRUE(parts);
  const std::string capped(33, '#');
  for (const auto& [doc, html, md] : std::vector<std::array<std::string, 3>>{
           {R"({"title":"T","nodes":[
      {"text":"a","level":1},{"text":"b","level":2},{"text":"c","level":3},{"text":"d","level":7},
      {"text":"e","level":2.0},{"text":"f","level":2.5},{"text":"g","level":0},
      {"text":"h","level":"2"},{"text":"i","level":true},{"text":"j","level":-3},
      {"text":"k","level":18446744073709551615},{"text":"l","level":1e300}]})",
            "<h1>T</h1><h2>a</h2><h3>b</h3><h4>c</h4><h4>d</h4><h3>e</h3><p>f</p><p>g</p>"
            "<p>h</p><p>i</p><p>j</p><h4>k</h4><h4>l</h4>",
            "# T\n\n## a\n\n### b\n\n#### c\n\n######## d\n\n### e\n\nf\n\ng\n\nh\n\ni\n\nj\n\n" +
                capped + " k\n\n" + capped + " l\n"},
           {R"({"title":" a < b ","nodes":[{"text":"P","children":[
      {"text":"plain"},
      {"text":"thought","ai":false,"children":[{"text":"deeper","ai":"x","anchor":true}]},
      {"text":"no","ai":null,"anchor":"true"},
      {"content":[{"text":"a<"}],"anchor":true,"image":"pic.png"},
      {"text":"","image":{"src":"q\".png"}}, "skipped", {"text":"two\nlines","children":[]}]}]})",
            "<h1>a &lt; b</h1><p>P</p><div class=sub><ul><li class=\"\">plain</li>"
            "<li class=\"ai\"><span class=tag>AI</span> thought<ul>"
            "<li class=\"ai\"><span class=tag>AI</span> <span class=anchor>deeper</span></li>"
            "</ul></li><li class=\"\">no</li>"
            "<li class=\" pic\"><span class=anchor>a&lt;</span><img src=\"pic.png\"></li>"
            "<li class=\" pic\"><img src=\"q&quot;.png\"></li><li class=\"\">two\nlines</li>"
            "</ul></div>",
            "# a < b\n\nP\n\n- plain\n- (AI) thought\n  - (AI) deeper\n- no\n- a<\n- \n- two "
            "lines\n"},
           // Children that hold no bullet add no subtext block.
           {R"({"title":"T","nodes":[{"text":"P","children":[1]}]})", "<h1>T</h1><p>P</p>",
            "# T\n\nP\n"},
           {R"({"title":"T","nodes":[{"text":"P","children":{"text":"x"}}]})", "<h1>T</h1><p>P</p>",
            "# T\n\nP\n"},
           {R"({"title":"T","nodes":[{"text":"num","image":7,"level":2},
      {"text":"cap<","image":"https://x/a.png?a=1&b=2"},{"text":"obj","image":{"src":"s.png"}},
      {"text":"big","image":")" +
                big + R"("}]})",
            "<h1>T</h1><h3>num</h3><figure><img src=\"https://x/a.png?a=1&amp;b=2\">"
            "<figcaption>cap&lt;</figcaption></figure>"
            "<figure><img src=\"s.png\"><figcaption>obj</figcaption></figure><figure><img src=\"" +
                big + "\"><figcaption>big</figcaption></figure>",
            "# T\n\n![num](image)\n\n![cap<](image)\n\n![obj](image)\n\n![big](images/" +
                parts->file_name + ")\n"}}) {
    EXPECT_EQ(htmlBody(doc), html) << doc;
    EXPECT_EQ(markdown(doc), md) << doc;
  }
  EXPECT_EQ(Preview::treeHTML(json::array{}) + Preview::treeHTML(json::array{1, "x"}), "");
}

TEST_F(PreviewTest, PreviewSourceUsesTheCache) {
  EXPECT_EQ(Preview::previewSrc("https://x/y.png"), "https://x/y.png");
  EXPECT_EQ(Preview::cacheSize_for_testing(), 0u);

  const std::vector<unsigned char> pixels(2560 * 1440 * 4, 0xFF);
  const std::string photo = *png::encodeARGB32(pixels.data(), 2560, 1440, 2560 * 4);
  const std::string wide = dataURL("image/png;base64", photo);
  const std::string shown = Preview::previewSrc(wide);
  EXPECT_EQ(sizeOf(shown), std::make_pair(1280, 720));
  EXPECT_EQ(Preview::previewSrc(wide), shown);
  EXPECT_EQ(Preview::cacheSize_for_testing(), 1u);
  const std::string page =
      Preview(object(R"({"nodes":[{"children":[{"image":")" + wide + R"("}]}]})")).html();
  EXPECT_NE(page.find("<img src=\"" + shown + "\">"), std::string::npos);
  EXPECT_EQ(page.find(wide), std::string::npos);

  // Distinct undecodable images: each is cached in its full form.
  auto distinct = [](int i) {
    std::string bytes(1600, '\x02');
    bytes.replace(0, std::to_string(i).size(), std::to_string(i));
    return dataURL("image/png;base64", bytes);
  };
  for (int i = 2; i <= 49; ++i) EXPECT_EQ(Preview::previewSrc(distinct(i)), distinct(i));
  // A hit adds nothing.
  EXPECT_EQ((std::tuple{Preview::cacheSize_for_testing(), Preview::previewSrc(distinct(2)),
                        Preview::cacheSize_for_testing()}),
            std::tuple(49u, distinct(2), 49u));
  EXPECT_EQ(Preview::previewSrc(distinct(50)), distinct(50));
  EXPECT_EQ(Preview::cacheSize_for_testing(), 1u);

  // Labelled PNG but not one, or cut short (its missing rows would be whatever memory held), or
  // not a PNG or JPEG: kept in full form.
  for (const auto& [header, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"image/png;base64", std::string(5000, '\x01')},
           {"image/png;base64", photo.substr(0, photo.size() / 2)},
           {"image/gif;base64", photo}}) {
    EXPECT_EQ(Preview::inlineImage(header, bytes), dataURL(header, bytes)) << header;
  }
}

TEST_F(PreviewTest, HostileShapesDoNotCrash) {
  // Bullets nested far deeper than any page makes; built by moving so no copy recurses.
  json::value tree = json::object{{"text", "leaf"}};
  for (int i = 0; i <= 5000; ++i) {
    tree = json::object{
        {"text", i < 5000 ? "b" : "deep"}, {"ai", i}, {"children", json::array{std::move(tree)}}};
  }
  const Preview preview(json::object{{"nodes", json::array{std::move(tree)}}});
  EXPECT_TRUE(preview.html().ends_with("</li></ul></div></body></html>"));
  EXPECT_EQ(preview.title(), "deep");
  EXPECT_TRUE(preview.markdown().starts_with("# deep\n\ndeep\n\n- (AI) b\n  - (AI) b\n"));
  std::string negative;
  Preview::bullets(json::array{json::object{{"text", "x"}}}, -4, negative);
  EXPECT_EQ(negative, "- x\n");

  // Wrong types everywhere.
  const std::string odd = R"({"title":[1],"nodes":[null,true,{"content":{"text":"x"},"text":[],
      "marks":1,"image":{"src":5},"children":"c","level":{}},
      {"content":[{"text":1,"marks":"bold"},{"text":"ok","marks":[null,{"type":["bold"]}]}]}]})";
  EXPECT_EQ(htmlBody(odd), "<h1>ok</h1><p></p><p>ok</p>");
  EXPECT_EQ(markdown(odd), "# ok\n\n![](image)\n\nok\n");
}

}  // namespace
}  // namespace qs
