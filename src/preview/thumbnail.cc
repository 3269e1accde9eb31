// The thumbnail: a paper card with a soft shadow on a transparent square, the title in bold
// serif, the first paragraphs beneath it and a small gold bar. Drawn with Cairo and PangoCairo
// on the calling thread. Calls share the card under its shadow, the same for every document of
// a size, drawn once and kept under a lock, and the Pango objects that lay out the text, which
// one call at a time uses.
//
// The geometry is given with the origin at the canvas's bottom-left corner; Cairo's is at the
// top-left, so every rectangle is flipped on the way in.

#include <cairo.h>
#include <glib.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <string_view>
#include <vector>

#include "core/digest.h"
#include "core/text.h"
#include "preview/png.h"
#include "preview/preview.h"

namespace qs {

namespace {

// Beyond this the canvas alone would take hundreds of megabytes; nobody asks for it.
constexpr double kMaxSize = 8192;
constexpr std::size_t kBodyNodes = 12;
// Only a score of lines is ever visible, so a paragraph longer than this is never drawn whole;
// the cap keeps Pango's work bounded for huge texts.
constexpr std::size_t kMaxParagraphBytes = 4096;
// Names the way a thumbnail is drawn: a change to the drawing changes it, so that thumbnails
// drawn the old way are drawn again at the next save.
constexpr std::string_view kDrawing = "thumbnail 1";
// The PNG text chunk that carries a thumbnail's inputs.
constexpr std::string_view kInputsKeyword = "Quillstone inputs";
// Cards of sizes up to this are kept once drawn (four megabytes each at most); larger ones are
// drawn every time, as nobody asks for them twice.
constexpr int kMaxKeptCard = 1024;
constexpr std::size_t kKeptCards = 4;

struct SurfaceUnref {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextUnref {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
struct FontOptionsFree {
  void operator()(cairo_font_options_t* o) const { cairo_font_options_destroy(o); }
};
struct GObjectUnref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
struct FontDescriptionFree {
  void operator()(PangoFontDescription* d) const { pango_font_description_free(d); }
};
struct AttrListUnref {
  void operator()(PangoAttrList* l) const { pango_attr_list_unref(l); }
};
struct LayoutIterFree {
  void operator()(PangoLayoutIter* i) const { pango_layout_iter_free(i); }
};
struct GFree {
  void operator()(gchar* p) const { g_free(p); }
};

using Surface = std::unique_ptr<cairo_surface_t, SurfaceUnref>;
using Context = std::unique_ptr<cairo_t, ContextUnref>;
using FontDescription = std::unique_ptr<PangoFontDescription, FontDescriptionFree>;

// A rectangle in Cairo's top-left coordinates.
struct Rect {
  double x, y, width, height;
};

struct Rgba {
  double r, g, b, a;
};

// A rectangle given from the bottom-left corner of a canvas `size` high.
Rect flipped(double x, double bottom, double width, double height, double size) {
  return {x, size - bottom - height, width, height};
}

void roundedRect(cairo_t* cr, const Rect& r, double radius) {
  radius = std::clamp(radius, 0.0, std::min(r.width, r.height) / 2);
  constexpr double pi = std::numbers::pi;
  const double right = r.x + r.width, bottom = r.y + r.height;
  cairo_new_sub_path(cr);
  cairo_arc(cr, right - radius, r.y + radius, radius, -pi / 2, 0);
  cairo_arc(cr, right - radius, bottom - radius, radius, 0, pi / 2);
  cairo_arc(cr, r.x + radius, bottom - radius, radius, pi / 2, pi);
  cairo_arc(cr, r.x + radius, r.y + radius, radius, pi, 3 * pi / 2);
  cairo_close_path(cr);
}

// ---- The shadow ----------------------------------------------------------------------------

// Radii of three box blurs whose succession approximates a Gaussian of deviation `sigma`.
std::array<int, 3> boxRadii(double sigma) {
  constexpr int kPasses = 3;
  const double ideal = std::sqrt(12 * sigma * sigma / kPasses + 1);
  int lower = static_cast<int>(std::floor(ideal));
  if (lower % 2 == 0) --lower;
  const int upper = lower + 2;
  const double lower_count =
      (12 * sigma * sigma - kPasses * lower * lower - 4 * kPasses * lower - 3 * kPasses) /
      (-4.0 * lower - 4);
  const int m = static_cast<int>(std::lround(lower_count));
  std::array<int, 3> radii{};
  for (int i = 0; i < kPasses; ++i) radii[i] = ((i < m ? lower : upper) - 1) / 2;
  return radii;
}

// One box blur of radius `radius` along `count` samples `step` bytes apart; what lies beyond
// the ends counts as transparent. Integer arithmetic, so the result is the same everywhere.
void boxBlurLine(std::uint8_t* line, int count, std::ptrdiff_t step, int radius,
                 std::vector<std::uint8_t>& scratch) {
  scratch.resize(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) scratch[i] = line[i * step];
  const std::uint32_t window = 2 * static_cast<std::uint32_t>(radius) + 1;
  std::uint32_t sum = 0;
  for (int i = 0; i < std::min(radius, count); ++i) sum += scratch[i];
  for (int i = 0; i < count; ++i) {
    if (i + radius < count) sum += scratch[i + radius];
    line[i * step] = static_cast<std::uint8_t>((sum + window / 2) / window);
    if (i - radius >= 0) sum -= scratch[i - radius];
  }
}

void boxBlur(cairo_surface_t* mask, int radius) {
  if (radius <= 0) return;
  std::uint8_t* data = cairo_image_surface_get_data(mask);
  const int width = cairo_image_surface_get_width(mask);
  const int height = cairo_image_surface_get_height(mask);
  const int stride = cairo_image_surface_get_stride(mask);
  std::vector<std::uint8_t> scratch;
  for (int y = 0; y < height; ++y)
    boxBlurLine(data + static_cast<std::ptrdiff_t>(y) * stride, width, 1, radius, scratch);
  for (int x = 0; x < width; ++x) boxBlurLine(data + x, height, stride, radius, scratch);
}

// Paints the soft shadow of the rounded rectangle `shape` (already offset): the shape is drawn
// into an alpha mask around it, blurred, and black is painted through the mask at `alpha`.
// Cairo has no blur of its own.
bool paintShadow(cairo_t* cr, const Rect& shape, double radius, double blur, double alpha) {
  const std::array<int, 3> radii = boxRadii(blur / 2);
  const int pad = radii[0] + radii[1] + radii[2] + 2;
  const int left = static_cast<int>(std::floor(shape.x)) - pad;
  const int top = static_cast<int>(std::floor(shape.y)) - pad;
  const int width = static_cast<int>(std::ceil(shape.width)) + 2 * pad + 2;
  const int height = static_cast<int>(std::ceil(shape.height)) + 2 * pad + 2;

  Surface mask(cairo_image_surface_create(CAIRO_FORMAT_A8, width, height));
  if (cairo_surface_status(mask.get()) != CAIRO_STATUS_SUCCESS) return false;
  {
    Context mcr(cairo_create(mask.get()));
    roundedRect(mcr.get(), {shape.x - left, shape.y - top, shape.width, shape.height}, radius);
    cairo_set_source_rgba(mcr.get(), 0, 0, 0, 1);
    cairo_fill(mcr.get());
    if (cairo_status(mcr.get()) != CAIRO_STATUS_SUCCESS) return false;
  }
  cairo_surface_flush(mask.get());
  for (int r : radii) boxBlur(mask.get(), r);
  cairo_surface_mark_dirty(mask.get());

  cairo_set_source_rgba(cr, 0, 0, 0, alpha);
  cairo_mask_surface(cr, mask.get(), left, top);
  return true;
}

// ---- The text ------------------------------------------------------------------------------

// At most `max_bytes` of `s`, cut at a character boundary, as valid UTF-8 without NULs
// (invalid sequences and NULs become U+FFFD), which is what Pango insists on.
std::string pangoSafe(std::string_view s, std::size_t max_bytes) {
  if (s.size() > max_bytes) {
    std::size_t cut = max_bytes;
    for (int back = 0; back < 3 && cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80;
         ++back)
      --cut;
    s = s.substr(0, cut);
  }
  std::unique_ptr<gchar, GFree> valid(g_utf8_make_valid(s.data(), static_cast<gssize>(s.size())));
  return valid ? std::string(valid.get()) : std::string();
}

// Calls `each` with every paragraph of `s`, split where Pango would split a layout into
// paragraphs (line feed, carriage return, both together, U+2029), until `each` says stop.
// Returns false when stopped.
template <typename Each>
bool forEachParagraph(std::string_view s, Each&& each) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t separator = 0;
    if (s[i] == '\n') {
      separator = 1;
    } else if (s[i] == '\r') {
      separator = (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
    } else if (s.compare(i, 3, "\xE2\x80\xA9") == 0) {
      separator = 3;
    }
    if (separator == 0) {
      ++i;
      continue;
    }
    if (!each(s.substr(start, i - start))) return false;
    i += separator;
    start = i;
  }
  return each(s.substr(start));
}

// Whether `s` (valid UTF-8) has a Latin letter and otherwise only characters of Latin script
// or none, that run left to right: ASCII, Latin-1, the Latin extensions and combining marks
// below U+0370, and the dashes, quotes and other punctuation of U+2010 to U+205E (without
// the marks that change the direction of text).
bool isPlainLatin(std::string_view s) {
  bool letter = false;
  for (const char* p = s.data(); p < s.data() + s.size(); p = g_utf8_next_char(p)) {
    const gunichar c = g_utf8_get_char(p);
    if (c < 0x80) {
      letter = letter || (c | 0x20) - 'a' < 26;
    } else if (!(c < 0x370 || (c >= 0x2010 && c <= 0x2027) || (c >= 0x2030 && c <= 0x205E))) {
      return false;
    }
  }
  return letter;
}

struct ParagraphStyle {
  const PangoFontDescription* font;
  PangoAttrList* attributes;  // the line height, a multiple of the font's natural one
  Rgba ink;
  double space_before;  // pixels, except at the top of the box
};

// Paragraphs laid out one under another from the top of a box. Pango has no spacing between
// paragraphs, so each paragraph is laid out on its own and the gaps are added here. The first line
// that doesn't fit ends the column; when it falls inside a paragraph, the line above it is the
// last visible one and is cut short with an ellipsis.
class TextColumn {
 public:
  // `layout` is used for one paragraph after another.
  TextColumn(cairo_t* cr, PangoLayout* layout, const Rect& box)
      : cr_(cr), layout_(layout), box_(box) {}

  // False once the box is full.
  bool add(std::string_view text, const ParagraphStyle& style) {
    if (full_) return false;
    const double top = y_ + (first_ ? 0 : style.space_before);
    PangoLayout* layout = layout_;
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_NONE);
    pango_layout_set_height(layout, -1);
    pango_layout_set_font_description(layout, style.font);
    pango_layout_set_width(layout, toPango(box_.width));
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    pango_layout_set_attributes(layout, style.attributes);
    const std::string safe = pangoSafe(text, kMaxParagraphBytes);
    pango_layout_set_text(layout, safe.data(), static_cast<int>(safe.size()));

    const double room = (box_.height - top) * PANGO_SCALE;
    int lines_fitting = 0;
    int bottom = 0;
    std::unique_ptr<PangoLayoutIter, LayoutIterFree> iter(pango_layout_get_iter(layout));
    do {
      int line_bottom = 0;
      pango_layout_iter_get_line_yrange(iter.get(), nullptr, &line_bottom);
      if (line_bottom > room) break;
      ++lines_fitting;
      bottom = line_bottom;
    } while (pango_layout_iter_next_line(iter.get()));
    iter.reset();

    if (lines_fitting == 0) {
      full_ = true;
      return false;
    }
    if (const int lines = pango_layout_get_line_count(layout); lines_fitting < lines) {
      // The last visible line takes the rest of the paragraph and is cut short where it no
      // longer fits. In plain Latin text only the two lines after it are laid out again with
      // it: they hold more than a line's width of text, so the cut falls where it would in the
      // whole paragraph, and the rest, never shown, isn't shaped a second time. (Where text
      // runs right to left, or its script is decided further on, what follows can change the
      // order or the fonts of what shows.)
      if (lines_fitting + 2 < lines && isPlainLatin(safe)) {
        const PangoLayoutLine* after = pango_layout_get_line_readonly(layout, lines_fitting + 1);
        pango_layout_set_text(layout, safe.data(), after->start_index + after->length);
      }
      pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
      pango_layout_set_height(layout, -lines_fitting);
      full_ = true;
    }
    cairo_set_source_rgba(cr_, style.ink.r, style.ink.g, style.ink.b, style.ink.a);
    cairo_move_to(cr_, box_.x, box_.y + top);
    pango_cairo_show_layout(cr_, layout);
    y_ = top + static_cast<double>(bottom) / PANGO_SCALE;
    first_ = false;
    return !full_;
  }

 private:
  static int toPango(double pixels) { return std::max(1, static_cast<int>(pixels * PANGO_SCALE)); }

  cairo_t* cr_;
  PangoLayout* layout_;
  Rect box_;
  double y_ = 0;
  bool first_ = true;
  bool full_ = false;
};

FontDescription serifFont(double pixels, PangoWeight weight) {
  FontDescription font(pango_font_description_new());
  pango_font_description_set_family(font.get(), "serif");
  pango_font_description_set_weight(font.get(), weight);
  pango_font_description_set_absolute_size(font.get(),
                                           std::max(1.0, std::round(pixels * PANGO_SCALE)));
  return font;
}

struct Card {
  Rect rect;
  double width, height, radius;
};

Card cardOf(double s) {
  const double width = 0.7 * s, height = 0.9 * s;
  return {flipped((s - width) / 2, (s - height) / 2, width, height, s), width, height, 0.022 * s};
}

// Premultiplied ARGB32 rows of a square, as Cairo keeps them.
using Pixels = std::vector<unsigned char>;

// The card under its shadow on the transparent square.
std::optional<Pixels> drawCard(int size) {
  const double s = size;
  Surface canvas(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size));
  if (cairo_surface_status(canvas.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  Context cr(cairo_create(canvas.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  // A new image surface is already fully transparent.
  const Card card = cardOf(s);
  const Rect& r = card.rect;
  const double shadow_drop = 0.006 * s;  // downwards on screen
  if (!paintShadow(cr.get(), {r.x, r.y + shadow_drop, r.width, r.height}, card.radius, 0.025 * s,
                   0.22))
    return std::nullopt;
  roundedRect(cr.get(), r, card.radius);
  cairo_set_source_rgb(cr.get(), 0.984, 0.98, 0.969);
  cairo_fill(cr.get());
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  cr.reset();
  cairo_surface_flush(canvas.get());
  const unsigned char* data = cairo_image_surface_get_data(canvas.get());
  const auto bytes = static_cast<std::size_t>(cairo_image_surface_get_stride(canvas.get())) *
                     static_cast<std::size_t>(size);
  return Pixels(data, data + bytes);
}

// The card of `size`, drawn once per size: the blur of its shadow would otherwise be much of
// every thumbnail. Never destroyed, so that a thumbnail drawn on a worker while the process
// exits still finds it.
std::shared_ptr<const Pixels> cardPixels(int size) {
  if (size > kMaxKeptCard) {
    auto drawn = drawCard(size);
    return drawn ? std::make_shared<const Pixels>(std::move(*drawn)) : nullptr;
  }
  struct Kept {
    std::mutex lock;
    std::map<int, std::shared_ptr<const Pixels>> cards;
  };
  static auto* kept = new Kept;
  {
    std::lock_guard guard(kept->lock);
    if (auto it = kept->cards.find(size); it != kept->cards.end()) return it->second;
  }
  auto drawn = drawCard(size);  // outside the lock: two threads may draw it, to the same pixels
  if (!drawn) return nullptr;
  auto pixels = std::make_shared<const Pixels>(std::move(*drawn));
  std::lock_guard guard(kept->lock);
  if (kept->cards.size() >= kKeptCards) kept->cards.clear();
  kept->cards.emplace(size, pixels);
  return pixels;
}

// What the text box shows: the trimmed title (empty: no title line) and the plain texts of the
// first nodes that aren't empty.
struct Words {
  std::string title;
  std::vector<std::string> body;
};

Words wordsOf(const Preview& preview) {
  Words words;
  words.title =
      text::trimWhitespaceAndNewlines(json::findString(preview.doc(), "title").value_or(""));
  const std::vector<const json::object*> nodes = preview.nodes();
  for (std::size_t i = 0; i < std::min(nodes.size(), kBodyNodes); ++i) {
    std::string plain = Preview::plain(*nodes[i]);
    if (!plain.empty()) words.body.push_back(std::move(plain));
  }
  return words;
}

std::string inputsOf(const Words& words, int size) {
  // Each part with its length before it, so that no two lists of texts read alike.
  std::string all(kDrawing);
  auto add = [&all](std::string_view part) {
    all.append(std::to_string(part.size())).append(1, ':').append(part);
  };
  add(std::to_string(size));
  add(words.title);
  for (const std::string& paragraph : words.body) add(paragraph);
  const auto hash = digest::sha256(all);
  return digest::hex(hash.data(), 16);
}

// What laying out a thumbnail's text needs, made once and used by one thumbnail at a time: a
// font map of its own (with its caches of fonts and shaped glyphs), a context with fixed
// rendering options, so that the bytes depend on the document and not on the session, and one
// layout for every paragraph.
struct TextKit {
  TextKit()
      : fonts(pango_cairo_font_map_new()),
        context(pango_font_map_create_context(fonts.get())),
        title_lines(lineHeight(1.08)),
        body_lines(lineHeight(1.18)) {
    std::unique_ptr<cairo_font_options_t, FontOptionsFree> options(cairo_font_options_create());
    cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(context.get(), options.get());
    pango_context_set_round_glyph_positions(context.get(), FALSE);
    layout.reset(pango_layout_new(context.get()));
  }

  static PangoAttrList* lineHeight(double factor) {
    PangoAttrList* list = pango_attr_list_new();
    pango_attr_list_insert(list, pango_attr_line_height_new(factor));
    return list;
  }

  std::unique_ptr<PangoFontMap, GObjectUnref> fonts;
  std::unique_ptr<PangoContext, GObjectUnref> context;
  std::unique_ptr<PangoAttrList, AttrListUnref> title_lines, body_lines;
  std::unique_ptr<PangoLayout, GObjectUnref> layout;
};

std::optional<std::string> drawThumbnail(const Words& words, int size) {
  const double s = size;
  const std::shared_ptr<const Pixels> card_image = cardPixels(size);
  if (!card_image) return std::nullopt;
  Surface canvas(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size));
  if (cairo_surface_status(canvas.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  const int stride = cairo_image_surface_get_stride(canvas.get());
  if (card_image->size() != static_cast<std::size_t>(stride) * static_cast<std::size_t>(size))
    return std::nullopt;
  cairo_surface_flush(canvas.get());
  std::memcpy(cairo_image_surface_get_data(canvas.get()), card_image->data(), card_image->size());
  cairo_surface_mark_dirty(canvas.get());
  Context cr(cairo_create(canvas.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;

  const Card c = cardOf(s);
  const Rect& card = c.rect;
  const double card_width = c.width, card_height = c.height;
  const Rect text_box{card.x + 0.11 * card_width, card.y + 0.08 * card_height,
                      card_width * (1 - 2 * 0.11), card_height * (1 - 2 * 0.08)};

  {
    // One thumbnail's text at a time: Pango, HarfBuzz and fontconfig share fonts and caches
    // between threads behind locks of their own that don't all hold for concurrent layouts,
    // while writes of different documents now draw at the same time.
    static std::mutex text_mutex;
    const std::lock_guard text_lock(text_mutex);
    static TextKit* const kit = new TextKit;  // never destroyed, as the cards aren't
    pango_cairo_update_context(cr.get(), kit->context.get());

    const FontDescription title_font = serifFont(0.056 * s, PANGO_WEIGHT_BOLD);
    const FontDescription body_font = serifFont(0.03 * s, PANGO_WEIGHT_NORMAL);
    constexpr Rgba kInk{0.14, 0.13, 0.11, 1};
    const ParagraphStyle title_style{title_font.get(), kit->title_lines.get(), kInk, 0};
    const ParagraphStyle body_style{
        body_font.get(), kit->body_lines.get(), {kInk.r, kInk.g, kInk.b, 0.78}, 0.016 * s};

    TextColumn column(cr.get(), kit->layout.get(), text_box);
    bool room = words.title.empty() || forEachParagraph(words.title, [&](std::string_view p) {
                  return column.add(p, title_style);
                });
    for (std::size_t i = 0; room && i < words.body.size(); ++i) {
      room = forEachParagraph(words.body[i],
                              [&](std::string_view p) { return column.add(p, body_style); });
    }
  }

  const Rect bar = flipped(text_box.x, (s - card_height) / 2 + 0.05 * card_height,
                           0.16 * card_width, 0.008 * s, s);
  roundedRect(cr.get(), bar, 2);
  cairo_set_source_rgba(cr.get(), 0.72, 0.54, 0.18, 0.9);
  cairo_fill(cr.get());

  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  cr.reset();
  cairo_surface_flush(canvas.get());
  return png::encodeARGB32(cairo_image_surface_get_data(canvas.get()), size, size, stride,
                           {{std::string(kInputsKeyword), inputsOf(words, size)}});
}

}  // namespace

std::optional<std::string> Preview::thumbnailPNG(double size) const {
  // The comparison also turns away NaN.
  if (!(size >= 1 && size <= kMaxSize)) return std::nullopt;
  try {
    return drawThumbnail(wordsOf(*this), static_cast<int>(size));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string Preview::thumbnailInputs(double size) const {
  if (!(size >= 1 && size <= kMaxSize)) return {};
  return inputsOf(wordsOf(*this), static_cast<int>(size));
}

std::optional<std::string> Preview::thumbnailInputsOf(std::string_view png) {
  return png::textOf(png, kInputsKeyword);
}

}  // namespace qs
