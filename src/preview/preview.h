// Renderings of one document for the world outside the app: the title, the first words, the
// Quick Look page, Markdown and the thumbnail. A Preview holds one doc object; the node-level
// operations are static so that the library and the search index call them directly.
// Runs on any thread; the only shared state is the preview-size cache, guarded by its lock.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

namespace qs {

class Preview {
 public:
  explicit Preview(json::object doc) : doc_(std::move(doc)) {}

  // The trimmed title, else the first words, else "Untitled".
  std::string title() const;
  // The Quick Look page: the fixed template, the body, "</body></html>".
  std::string html() const;
  std::string markdown() const;
  // The node objects of the doc (non-objects in `nodes` skipped; no list: empty).
  std::vector<const json::object*> nodes() const;
  // The thumbnail as PNG bytes at size × size pixels (size truncated); none when Cairo fails.
  // The file carries thumbnailInputs(size), so that a later save can tell it is still current
  // without drawing it again.
  std::optional<std::string> thumbnailPNG(double size) const;
  // A digest of everything the thumbnail at `size` is drawn from (the title, the texts of the
  // first nodes, the size and the way it is drawn): equal for two docs exactly when their
  // thumbnails are drawn alike. Cheap beside drawing.
  std::string thumbnailInputs(double size) const;
  // The inputs a thumbnail made by thumbnailPNG carries; none for a file that isn't one whole
  // such PNG (another program's image, a damaged or cut-off file).
  static std::optional<std::string> thumbnailInputsOf(std::string_view png);

  const json::object& doc() const { return doc_; }

  static std::string plain(const json::object& node);
  static std::optional<std::string> firstWords(const json::object& doc);
  static std::string markdownText(const json::object& node);
  static void bullets(const json::array& items, int depth, std::string& into);
  static std::string inlineHTML(const json::object& node);
  static std::string treeHTML(const json::array& items);
  static std::set<std::string> marks(const json::object& run);
  static std::optional<std::string> imageSrc(const json::object& node);
  static std::string previewSrc(std::string_view src);
  static std::string inlineImage(std::string_view header, std::string_view bytes);

  // "&", "<", ">" and the double quote, in that order.
  static std::string esc(std::string_view s);

  // The preview-size cache, for tests.
  static std::size_t cacheSize_for_testing();
  static void clearCache_for_testing();

 private:
  json::object doc_;
};

}  // namespace qs
