#include "library/images.h"

#include "core/digest.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/text.h"

namespace qs::images {

namespace {

constexpr std::string_view kImagesPrefix = "quillstone-image:images/";
constexpr std::string_view kImagesFolder = "images";
// Past this depth a value is copied as it is: no page document nests so deep, and recursion
// must not run out of stack on hostile input.
constexpr int kMaxDepth = 400;

template <typename Leaf>
json::value mapStrings(const json::value& v, int depth, Leaf& leaf) {
  if (depth > kMaxDepth) return v;
  switch (v.kind()) {
    case boost::json::kind::string:
      return leaf(v.get_string());
    case boost::json::kind::object: {
      json::object out;
      out.reserve(v.get_object().size());
      for (const auto& kv : v.get_object())
        out.emplace(kv.key(), mapStrings(kv.value(), depth + 1, leaf));
      return out;
    }
    case boost::json::kind::array: {
      json::array out;
      out.reserve(v.get_array().size());
      for (const auto& e : v.get_array()) out.push_back(mapStrings(e, depth + 1, leaf));
      return out;
    }
    default:
      return v;
  }
}

fs::path capturePath(const fs::path& support, std::string_view id) {
  return support / "captures" / (std::string(id) + ".txt");
}

}  // namespace

std::optional<std::string> referencedFile(std::string_view text) {
  if (!text.starts_with(kReferencePrefix)) return std::nullopt;
  const std::size_t hash = text.find('#');
  if (hash == std::string_view::npos) return std::nullopt;
  std::string_view path = text.substr(kReferencePrefix.size(), hash - kReferencePrefix.size());
  // Only the last component counts, so "images/../../x" can't leave the images folder.
  const std::size_t slash = path.find_last_of('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  return std::string(name);
}

void referencedImages(const json::value& v, std::set<std::string>& names) {
  std::vector<const json::value*> pending{&v};
  while (!pending.empty()) {
    const json::value* at = pending.back();
    pending.pop_back();
    if (at->is_string()) {
      if (at->get_string().starts_with(kReferencePrefix)) {
        if (auto name = referencedFile(at->get_string())) names.insert(std::move(*name));
      }
    } else if (at->is_array()) {
      for (const auto& e : at->get_array()) pending.push_back(&e);
    } else if (at->is_object()) {
      for (const auto& kv : at->get_object()) pending.push_back(&kv.value());
    }
  }
}

json::value extractImages(const json::value& v, const file_io::Folder& package,
                          std::set<std::string>& used) {
  std::optional<file_io::Folder> images;
  bool tried = false;
  auto leaf = [&](const boost::json::string& s) -> json::value {
    auto parts = imageParts(s);
    if (!parts) {
      if (auto name = referencedFile(s)) used.insert(*name);
      return s;
    }
    if (!tried) {
      tried = true;
      images = package.sub(kImagesFolder, file_io::Folder::Create::kYes);
    }
    // An image that can't be stored stays inline: a reference to a missing file would lose
    // the picture, while the document write must not fail for it.
    if (!images) return s;
    auto st = images->status(parts->file_name);
    const bool present =
        st && S_ISREG(st->st_mode) && static_cast<std::size_t>(st->st_size) == parts->bytes.size();
    if (!present && !images->writeAtomically(parts->file_name, parts->bytes,
                                             file_io::Durability::kSurvivesCrash)) {
      return s;
    }
    used.insert(parts->file_name);
    return json::value(std::string(kImagesPrefix) + parts->file_name + "#" + parts->header);
  };
  return mapStrings(v, 0, leaf);
}

json::value restoreImages(const json::value& v, const file_io::Folder& package,
                          std::set<std::string>* missing) {
  std::optional<file_io::Folder> images;
  bool tried = false;
  auto leaf = [&](const boost::json::string& s) -> json::value {
    std::string_view text(s);
    auto name = referencedFile(text);
    if (!name) return s;
    if (!tried) {
      tried = true;
      images = package.sub(kImagesFolder);
    }
    auto bytes = images ? images->read(*name) : std::nullopt;
    if (!bytes) {
      if (missing) missing->insert(*name);
      return s;
    }
    std::string_view header = text.substr(text.find('#') + 1);
    return json::value("data:" + std::string(header) + "," + digest::base64Encode(*bytes));
  };
  return mapStrings(v, 0, leaf);
}

json::value restoreImages(const json::value& v, const fs::path& package) {
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  if (!folder) return v;
  return restoreImages(v, *folder);
}

std::optional<std::string> capture(const fs::path& support, std::string_view id) {
  if (!ids::isCaptureID(id)) return std::nullopt;
  auto text = file_io::readFile(capturePath(support, id));
  if (!text || !text::isValidUTF8(*text)) return std::nullopt;
  return text;
}

void putCapture(const fs::path& support, std::string_view id, std::string_view src) {
  if (!ids::isCaptureID(id)) return;
  (void)file_io::createFolders(support / "captures");
  (void)file_io::writeAtomically(capturePath(support, id), src, file_io::Durability::kFileOnly);
}

void dropCapture(const fs::path& support, std::string_view id) {
  if (!ids::isCaptureID(id)) return;
  std::error_code ec;
  fs::remove(capturePath(support, id), ec);
}

}  // namespace qs::images
