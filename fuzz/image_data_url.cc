// Images as data URLs, as the page puts them in documents and offers them for saving: split
// into files when a package is written and put back when it is read, reduced for the Quick Look
// page, decoded for a save. The input is the data URL; cut at "\n--\n", also a media type
// header and the image's bytes apart.

#include "core/digest.h"
#include "core/file_io.h"
#include "fuzz_target.h"
#include "library/images.h"
#include "preview/preview.h"
#include "windows/document_window.h"

using namespace qs;
namespace fs = std::filesystem;

namespace {

bool isDataURL(std::string_view url) {
  const auto comma = url.find(',');
  return url.starts_with("data:") && comma != std::string_view::npos &&
         digest::base64Decode(url.substr(comma + 1));
}

}  // namespace

QS_FUZZ_TARGET(image_data_url) {
  static fuzz::Scratch scratch;
  const std::string url(input);

  if (auto name = images::referencedFile(url)) {
    QS_FUZZ_CHECK(
        !name->empty() && *name != "." && *name != ".." && name->find('/') == std::string::npos,
        "a reference names a file in the images folder");
  }
  (void)windows::savedFileBytes(url);

  const auto parts = images::imageParts(url);
  if (parts) {
    QS_FUZZ_CHECK("data:" + parts->header + "," + digest::base64Encode(parts->bytes) == url,
                  "an extractable image is its header and bytes again");
    const fs::path package = scratch.fresh() / "Doc.quillstone";
    std::error_code ec;
    fs::create_directory(package, ec);
    const auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
    QS_FUZZ_CHECK(folder, "the package folder opens");
    std::set<std::string> used;
    const json::value stored = images::extractImages(json::value(url), *folder, used);
    QS_FUZZ_CHECK(used == std::set<std::string>{parts->file_name}, "the image goes to its file");
    QS_FUZZ_CHECK(stored.is_string() && images::referencedFile(stored.get_string()) ==
                                            std::optional<std::string>(parts->file_name),
                  "the document keeps a reference to the file");
    const json::value restored = images::restoreImages(stored, *folder);
    QS_FUZZ_CHECK(restored == json::value(url), "reading the package gives the image back whole");
  }

  Preview::clearCache_for_testing();
  const std::string shown = Preview::previewSrc(url);
  QS_FUZZ_CHECK(parts ? isDataURL(shown) : shown == url,
                "the Quick Look page shows the image, or the source as it was");

  const auto split = fuzz::pieces(input, 2);
  const std::string_view header = split[0], bytes = split[1];
  const std::string inlined = Preview::inlineImage(header, bytes);
  const std::string whole = "data:" + std::string(header) + "," + digest::base64Encode(bytes);
  if (inlined != whole) {
    QS_FUZZ_CHECK(inlined.starts_with("data:image/png;base64,") ||
                      inlined.starts_with("data:image/jpeg;base64,"),
                  "a reduced image is a PNG or a JPEG");
    const auto reduced = digest::base64Decode(inlined.substr(inlined.find(',') + 1));
    QS_FUZZ_CHECK(reduced && reduced->size() < bytes.size(), "a reduced image is smaller");
  }
}
