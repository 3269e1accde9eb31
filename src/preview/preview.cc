#include "preview/preview.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "core/digest.h"
#include "core/image_data_url.h"
#include "core/text.h"

namespace qs {

namespace {

// The Quick Look page up to the opening of its body; 24 lines, no line feed after the last.
constexpr std::string_view kPageTemplate =
    R"html(<!doctype html><html><head><meta charset="utf-8"><meta name="color-scheme" content="light dark">
<style>
:root { --paper:#fbfaf7; --ink:#24211d; --muted:#8a8378; --line:#e4dfd6; --gold:#b8892f; --mark:#f7e7a6; }
@media (prefers-color-scheme: dark) { :root { --paper:#1d1c1a; --ink:#ebe7df; --muted:#958e83; --line:#3a3733; --gold:#d3a44a; --mark:#6b5a1f; } }
html { background: var(--paper); }
body { margin: 0 auto; max-width: 640px; padding: 56px 40px 80px; color: var(--ink);
       font: 19px/1.6 "New York", ui-serif, Georgia, serif; -webkit-font-smoothing: antialiased; }
h1 { font-size: 30px; line-height: 1.2; margin: 0 0 28px; font-weight: 600; }
h2, h3, h4 { font-size: 22px; margin: 28px 0 8px; }
p { margin: 0 0 18px; }
mark { background: var(--mark); color: inherit; border-radius: 2px; }
.anchor { text-decoration: underline; text-decoration-color: var(--gold); text-underline-offset: 3px; }
.door { text-decoration: underline dotted; text-underline-offset: 3px; }
.sub { margin: -8px 0 22px 2px; font: 14px/1.5 -apple-system, system-ui, sans-serif; color: var(--muted); }
.sub ul { list-style: none; margin: 0; padding-left: 18px; border-left: 1px solid var(--line); }
.sub > ul { padding-left: 14px; }
.sub li { margin: 3px 0; position: relative; }
.sub li::before { content: ""; position: absolute; left: -12px; top: 0.62em; width: 4px; height: 4px; border-radius: 50%; background: var(--muted); }
.sub li.ai { font-style: italic; }
.sub li.pic::before { display: none; }
.sub li img { display: block; max-width: 320px; margin: 6px 0; border-radius: 6px; }
.tag { font: 600 10px/1 -apple-system, system-ui, sans-serif; letter-spacing: .04em; padding: 2px 4px; border-radius: 4px; border: 1px solid var(--line); font-style: normal; }
figure { margin: 0 0 18px; } img { max-width: 100%; border-radius: 6px; } figcaption { font-size: 14px; color: var(--muted); }
</style></head><body>)html";

// Bullets nested deeper than this are left out of every rendering. The page never nests
// subtext anywhere near so deep, and the recursion must not run out of stack on hostile input.
constexpr int kMaxBulletDepth = 256;

// A heading level past this is written as this one. Markdown repeats "#" level + 1 times, and a
// stray huge level must not become gigabytes of "#".
constexpr std::int64_t kMaxHeadingLevel = 32;

// Large embedded images are shown this many pixels wide.
constexpr int kPreviewWidth = 1280;

// An image claiming more pixels than this is not decoded: a few bytes of compressed data can
// declare dimensions whose pixels would not fit in memory.
constexpr std::uint64_t kMaxDecodedPixels = 100'000'000;

// A new entry finds the cache emptied first when it already holds more than this many, so it
// never holds more than one past this.
constexpr std::size_t kCacheLimit = 48;

constexpr std::string_view kBase64Suffix = ";base64";

// The objects of a list; other elements are skipped, and no list counts as empty.
std::vector<const json::object*> objectsIn(const json::array* list) {
  std::vector<const json::object*> out;
  if (!list) return out;
  out.reserve(list->size());
  for (const json::value& v : *list) {
    if (const json::object* o = v.if_object()) out.push_back(o);
  }
  return out;
}

bool hasObjects(const json::array* list) {
  return list && std::any_of(list->begin(), list->end(),
                             [](const json::value& v) { return v.is_object(); });
}

// A `level` that is an integer of 1 or more (a double counts when it has no fraction).
std::optional<std::int64_t> headingLevel(const json::object& node) {
  const json::value* v = json::find(node, "level");
  if (!v) return std::nullopt;
  switch (v->kind()) {
    case boost::json::kind::int64: {
      const std::int64_t n = v->get_int64();
      if (n < 1) return std::nullopt;
      return std::min(n, kMaxHeadingLevel);
    }
    case boost::json::kind::uint64: {
      const std::uint64_t n = v->get_uint64();
      if (n < 1) return std::nullopt;
      return static_cast<std::int64_t>(
          std::min<std::uint64_t>(n, static_cast<std::uint64_t>(kMaxHeadingLevel)));
    }
    case boost::json::kind::double_: {
      const double d = v->get_double();
      if (!std::isfinite(d) || d < 1 || std::floor(d) != d) return std::nullopt;
      return static_cast<std::int64_t>(std::min(d, static_cast<double>(kMaxHeadingLevel)));
    }
    default:
      return std::nullopt;
  }
}

// Whatever the value, even false: only a missing member or null means a person wrote it.
bool isAI(const json::object& bullet) {
  const json::value* v = json::find(bullet, "ai");
  return v && !v->is_null();
}

bool isAnchor(const json::object& bullet) {
  const json::value* v = json::find(bullet, "anchor");
  return v && v->is_bool() && v->get_bool();
}

std::string runText(const json::object& run) {
  return std::string(json::findString(run, "text").value_or(""));
}

std::string runHTML(const json::object& run) {
  const std::set<std::string> marks = Preview::marks(run);
  std::string out = Preview::esc(runText(run));
  auto wrap = [&](std::string_view mark, std::string_view open, std::string_view close) {
    if (marks.contains(std::string(mark))) out = std::string(open) + out + std::string(close);
  };
  wrap("bold", "<b>", "</b>");
  wrap("italic", "<i>", "</i>");
  wrap("highlight", "<mark>", "</mark>");
  wrap("subtext", "<span class=anchor>", "</span>");
  wrap("hypertext", "<span class=door>", "</span>");
  return out;
}

// The markers go around the text without its outer spaces and tabs, so that "** bold **",
// which Markdown doesn't read as bold, never appears.
std::string runMarkdown(const json::object& run) {
  const std::string text = runText(run);
  const std::string core = text::trimHorizontalSpace(text);
  if (core.empty()) return text;
  const std::set<std::string> marks = Preview::marks(run);
  std::string wrapped = core;
  if (marks.contains("highlight")) wrapped = "==" + wrapped + "==";
  if (marks.contains("italic")) wrapped = "*" + wrapped + "*";
  if (marks.contains("bold")) wrapped = "**" + wrapped + "**";
  return text::replaceAll(text, core, wrapped);
}

void appendTreeHTML(const json::array& items, int depth, std::string& out) {
  const std::vector<const json::object*> bullets = objectsIn(&items);
  if (bullets.empty() || depth >= kMaxBulletDepth) return;
  out += "<ul>";
  for (const json::object* bullet : bullets) {
    std::string picture;
    if (auto src = Preview::imageSrc(*bullet)) {
      picture = "<img src=\"" + Preview::esc(Preview::previewSrc(*src)) + "\">";
    }
    const bool ai = isAI(*bullet);
    out += "<li class=\"";
    if (ai) out += "ai";
    if (!picture.empty()) out += " pic";
    out += "\">";
    if (ai) out += "<span class=tag>AI</span> ";
    const std::string plain = Preview::plain(*bullet);
    if (!plain.empty()) {
      if (isAnchor(*bullet)) {
        out += "<span class=anchor>" + Preview::esc(plain) + "</span>";
      } else {
        out += Preview::esc(plain);
      }
    }
    out += picture;
    if (const json::array* children = json::findArray(*bullet, "children")) {
      appendTreeHTML(*children, depth + 1, out);
    }
    out += "</li>";
  }
  out += "</ul>";
}

// The preview-size cache: image file name to the data URL shown for it. Never destroyed, so a
// render still running on a worker while the process exits finds it intact.
struct PreviewSizeCache {
  std::mutex lock;
  std::unordered_map<std::string, std::string> entries;
};

PreviewSizeCache& previewSizeCache() {
  static auto* cache = new PreviewSizeCache;
  return *cache;
}

struct GObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer p) const { g_free(p); }
};

struct Decoding {
  bool stopped = false;
  // Rows the loader has filled. A loader given a cut-off image may still hand back the whole
  // pixbuf with the missing rows left as uninitialised memory, which must never be encoded.
  std::vector<bool> rows_filled;
  std::size_t row_count = 0;
};

// Decoding stops at the size, before any pixels are allocated, when the image can't become
// wider than the preview (no orientation makes it wider than its longer side) or claims more
// pixels than we are willing to hold.
void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer decoding) {
  const bool small = std::max(width, height) <= kPreviewWidth;
  const bool huge =
      width <= 0 || height <= 0 ||
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxDecodedPixels;
  if (small || huge) {
    static_cast<Decoding*>(decoding)->stopped = true;
    // A size of zero tells the loader to give up without allocating.
    gdk_pixbuf_loader_set_size(loader, 0, 0);
  }
}

void onAreaUpdated(GdkPixbufLoader* loader, int, int y, int, int height, gpointer decoding) {
  auto* d = static_cast<Decoding*>(decoding);
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  if (!pixbuf) return;
  const int rows = gdk_pixbuf_get_height(pixbuf);
  if (d->rows_filled.size() != static_cast<std::size_t>(rows)) {
    d->rows_filled.assign(static_cast<std::size_t>(rows), false);
    d->row_count = 0;
  }
  for (int row = std::max(y, 0); row < rows && row - y < height; ++row) {
    if (!d->rows_filled[static_cast<std::size_t>(row)]) {
      d->rows_filled[static_cast<std::size_t>(row)] = true;
      ++d->row_count;
    }
  }
}

// The first image in `bytes`, read only by the loader for its declared media type; none unless
// every row of it was decoded.
GObjectPtr<GdkPixbuf> decodeFirstImage(const std::string& media_type, std::string_view bytes) {
  Decoding decoding;  // outlives the loader whose handlers write to it
  GObjectPtr<GdkPixbufLoader> loader(
      gdk_pixbuf_loader_new_with_mime_type(media_type.c_str(), nullptr));
  if (!loader) return nullptr;
  g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(onSizePrepared), &decoding);
  g_signal_connect(loader.get(), "area-updated", G_CALLBACK(onAreaUpdated), &decoding);

  // Written in chunks so that a loader that ignores the stop hint is stopped here instead.
  constexpr std::size_t kChunk = 64 * 1024;
  for (std::size_t at = 0; at < bytes.size() && !decoding.stopped; at += kChunk) {
    const std::size_t n = std::min(kChunk, bytes.size() - at);
    // A failed write closes the loader itself.
    if (!gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(bytes.data() + at),
                                 n, nullptr)) {
      return nullptr;
    }
  }
  const bool closed = gdk_pixbuf_loader_close(loader.get(), nullptr);
  if (!closed || decoding.stopped) return nullptr;
  GdkPixbuf* first = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (!first || decoding.row_count != static_cast<std::size_t>(gdk_pixbuf_get_height(first))) {
    return nullptr;
  }
  return GObjectPtr<GdkPixbuf>(GDK_PIXBUF(g_object_ref(first)));
}

std::optional<std::string> encode(GdkPixbuf* pixbuf, bool jpeg) {
  gchar* buffer = nullptr;
  gsize size = 0;
  const gboolean saved =
      jpeg ? gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, "quality", "80",
                                       static_cast<char*>(nullptr))
           : gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr,
                                       static_cast<char*>(nullptr));
  std::unique_ptr<gchar, GFree> owned(buffer);
  if (!saved || !buffer) return std::nullopt;
  return std::string(buffer, size);
}

// The image `bytes` reduced to the preview width, or none when that can't be done.
std::optional<std::string> reduce(const std::string& media_type, std::string_view bytes) {
  GObjectPtr<GdkPixbuf> decoded = decodeFirstImage(media_type, bytes);
  if (!decoded) return std::nullopt;
  GObjectPtr<GdkPixbuf> oriented(gdk_pixbuf_apply_embedded_orientation(decoded.get()));
  if (!oriented) return std::nullopt;
  // Measured after orientation, so that a portrait photo stored sideways comes out
  // kPreviewWidth wide as it is seen.
  const int width = gdk_pixbuf_get_width(oriented.get());
  const int height = gdk_pixbuf_get_height(oriented.get());
  if (width <= kPreviewWidth || height <= 0) return std::nullopt;
  const double scale = static_cast<double>(kPreviewWidth) / width;
  const int scaled_height = std::max(1, static_cast<int>(std::lround(height * scale)));
  GObjectPtr<GdkPixbuf> scaled(
      gdk_pixbuf_scale_simple(oriented.get(), kPreviewWidth, scaled_height, GDK_INTERP_BILINEAR));
  if (!scaled) return std::nullopt;
  return encode(scaled.get(), media_type == "image/jpeg");
}

}  // namespace

std::string Preview::title() const {
  std::string trimmed =
      text::trimWhitespaceAndNewlines(json::findString(doc_, "title").value_or(""));
  if (!trimmed.empty()) return trimmed;
  if (auto words = firstWords(doc_)) return *words;
  return "Untitled";
}

std::string Preview::html() const {
  std::string out(kPageTemplate);
  out += "<h1>" + esc(title()) + "</h1>";
  for (const json::object* node : nodes()) {
    if (auto src = imageSrc(*node)) {
      out += "<figure><img src=\"" + esc(previewSrc(*src)) + "\"><figcaption>" + esc(plain(*node)) +
             "</figcaption></figure>";
    } else if (auto level = headingLevel(*node)) {
      const std::string n = std::to_string(std::min<std::int64_t>(*level + 1, 4));
      out += "<h" + n + ">" + inlineHTML(*node) + "</h" + n + ">";
    } else {
      out += "<p>" + inlineHTML(*node) + "</p>";
    }
    const json::array* children = json::findArray(*node, "children");
    if (hasObjects(children)) out += "<div class=sub>" + treeHTML(*children) + "</div>";
  }
  out += "</body></html>";
  return out;
}

std::string Preview::markdown() const {
  std::string out = "# " + title() + "\n";
  for (const json::object* node : nodes()) {
    out += "\n";
    if (node->contains("image")) {
      // A split image lives in the package's images folder under its file name.
      std::optional<images::ImageParts> parts;
      if (auto src = imageSrc(*node)) parts = images::imageParts(*src);
      out += "![" + plain(*node) + "](" + (parts ? "images/" + parts->file_name : "image") + ")\n";
    } else {
      if (auto level = headingLevel(*node)) {
        out.append(static_cast<std::size_t>(*level + 1), '#');
        out += ' ';
      }
      out += markdownText(*node) + "\n";
    }
    const json::array* children = json::findArray(*node, "children");
    if (hasObjects(children)) {
      out += "\n";
      bullets(*children, 0, out);
    }
  }
  return out;
}

std::vector<const json::object*> Preview::nodes() const {
  return objectsIn(json::findArray(doc_, "nodes"));
}

std::string Preview::plain(const json::object& node) {
  const std::vector<const json::object*> runs = objectsIn(json::findArray(node, "content"));
  if (runs.empty()) return std::string(json::findString(node, "text").value_or(""));
  std::string out;
  for (const json::object* run : runs) {
    if (auto t = json::findString(*run, "text")) out += *t;
  }
  return out;
}

std::optional<std::string> Preview::firstWords(const json::object& doc) {
  for (const json::object* node : objectsIn(json::findArray(doc, "nodes"))) {
    const std::vector<std::string> pieces = text::splitOnWhitespace(plain(*node));
    if (pieces.empty()) continue;
    std::string out;
    for (std::size_t i = 0; i < pieces.size() && i < 6; ++i) {
      if (i > 0) out += ' ';
      out += pieces[i];
    }
    return out;
  }
  return std::nullopt;
}

std::string Preview::markdownText(const json::object& node) {
  const std::vector<const json::object*> runs = objectsIn(json::findArray(node, "content"));
  if (runs.empty()) return std::string(json::findString(node, "text").value_or(""));
  std::string out;
  for (const json::object* run : runs) out += runMarkdown(*run);
  return out;
}

void Preview::bullets(const json::array& items, int depth, std::string& into) {
  depth = std::max(depth, 0);
  if (depth >= kMaxBulletDepth) return;
  for (const json::object* bullet : objectsIn(&items)) {
    into.append(static_cast<std::size_t>(depth) * 2, ' ');
    into += "- ";
    if (isAI(*bullet)) into += "(AI) ";
    into += text::replaceAll(plain(*bullet), "\n", " ");
    into += '\n';
    if (const json::array* children = json::findArray(*bullet, "children")) {
      bullets(*children, depth + 1, into);
    }
  }
}

std::string Preview::inlineHTML(const json::object& node) {
  const std::vector<const json::object*> runs = objectsIn(json::findArray(node, "content"));
  if (runs.empty()) return esc(json::findString(node, "text").value_or(""));
  std::string out;
  for (const json::object* run : runs) out += runHTML(*run);
  return out;
}

std::string Preview::treeHTML(const json::array& items) {
  std::string out;
  appendTreeHTML(items, 0, out);
  return out;
}

std::set<std::string> Preview::marks(const json::object& run) {
  std::set<std::string> out;
  for (const json::object* mark : objectsIn(json::findArray(run, "marks"))) {
    if (auto type = json::findString(*mark, "type")) out.emplace(*type);
  }
  return out;
}

std::optional<std::string> Preview::imageSrc(const json::object& node) {
  const json::value* image = json::find(node, "image");
  if (!image) return std::nullopt;
  if (const boost::json::string* s = image->if_string()) return std::string(*s);
  if (const json::object* o = image->if_object()) {
    if (auto src = json::findString(*o, "src")) return std::string(*src);
  }
  return std::nullopt;
}

std::string Preview::previewSrc(std::string_view src) {
  std::optional<images::ImageParts> parts = images::imageParts(src);
  if (!parts) return std::string(src);
  PreviewSizeCache& cache = previewSizeCache();
  {
    std::lock_guard guard(cache.lock);
    auto hit = cache.entries.find(parts->file_name);
    if (hit != cache.entries.end()) return hit->second;
  }
  // Reduced outside the lock: two threads may reduce the same image, and the later store wins.
  std::string reduced = inlineImage(parts->header, parts->bytes);
  std::lock_guard guard(cache.lock);
  if (!cache.entries.contains(parts->file_name) && cache.entries.size() > kCacheLimit) {
    cache.entries.clear();
  }
  cache.entries.insert_or_assign(parts->file_name, reduced);
  return reduced;
}

std::string Preview::inlineImage(std::string_view header, std::string_view bytes) {
  std::string full = "data:" + std::string(header) + "," + digest::base64Encode(bytes);
  if (!header.ends_with(kBase64Suffix)) return full;
  const std::string media_type(header.substr(0, header.size() - kBase64Suffix.size()));
  if (media_type != "image/png" && media_type != "image/jpeg" && media_type != "image/webp" &&
      media_type != "image/heic") {
    return full;
  }
  std::optional<std::string> reduced = reduce(media_type, bytes);
  if (!reduced || reduced->size() >= bytes.size()) return full;
  const std::string_view prefix =
      media_type == "image/jpeg" ? "data:image/jpeg;base64," : "data:image/png;base64,";
  return std::string(prefix) + digest::base64Encode(*reduced);
}

std::string Preview::esc(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::size_t Preview::cacheSize_for_testing() {
  PreviewSizeCache& cache = previewSizeCache();
  std::lock_guard guard(cache.lock);
  return cache.entries.size();
}

void Preview::clearCache_for_testing() {
  PreviewSizeCache& cache = previewSizeCache();
  std::lock_guard guard(cache.lock);
  cache.entries.clear();
}

}  // namespace qs
