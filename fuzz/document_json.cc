// A package's "document.json" as another program may leave it (a sync tool, an editor, a damaged
// disk): the library reads it or reports it, renders it for the world outside, answers the
// page's "open" with it, and writes a document it could read back unchanged.

#include "bridge/host_messages.h"
#include "core/text.h"
#include "fuzz_target.h"
#include "library/library.h"
#include "preview/preview.h"
#include "preview/search_index.h"

using namespace qs;
namespace fs = std::filesystem;

QS_FUZZ_TARGET(document_json) {
  static fuzz::Scratch scratch;
  const fs::path root = scratch.fresh() / "Writing";
  const fs::path package = root / "Doc.quillstone";
  fuzz::writeFile(package / "document.json", input);
  // An image file for a reference in the document to find.
  fuzz::writeFile(package / "images" / "0123456789abcdef0123.png", "\x89PNG");

  library::Library lib(root, scratch.path() / "Support", {});
  const auto records = lib.allRecords();
  QS_FUZZ_CHECK(records.size() + lib.problems().size() == 1,
                "the package is either read or reported, once");
  const json::value workspace = lib.openWorkspace();
  QS_FUZZ_CHECK(bridge::JSONText::text(&workspace), "the answer to \"open\" can be sent");
  if (records.empty()) return;

  const auto& [id, record] = *records.begin();
  const json::object& doc = record.at("doc").as_object();
  const Preview preview(doc);
  (void)preview.markdown();
  (void)preview.html();
  (void)preview.thumbnailPNG(128);
  (void)SearchIndex::item(id, doc, package);
  const std::string name = library::fileName(doc);
  QS_FUZZ_CHECK(!name.empty() && name.size() <= 255 - 16 && name.find('/') == std::string::npos &&
                    !name.starts_with(".") && text::isValidUTF8(name),
                "a document's file name is one name, never hidden");

  const auto written = lib.write(record);
  QS_FUZZ_CHECK(written, "a document the library read, it can write");
  const auto again = library::readRecord(*written);
  QS_FUZZ_CHECK(again && fuzz::sameJSON(again->at("doc"), record.at("doc")),
                "written and read again, the document is unchanged");
}
