#include "library/package.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "core/build_info.h"
#include "core/clock.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/text.h"
#include "library/images.h"
#include "preview/preview.h"

namespace qs::library {

namespace {

constexpr std::size_t kMaxNameCharacters = 80;
constexpr std::size_t kMaxNameBytes = 255 - 6 - 11;
constexpr double kThumbnailSize = 512;

void log_write_failure(const fs::path& package, std::string_view why) {
  std::fprintf(stderr, "Quillstone: couldn't write %s: %.*s\n", package.c_str(),
               static_cast<int>(why.size()), why.data());
}

std::string display_name(const fs::path& path) {
  gchar* name = g_filename_display_basename(path.c_str());
  std::string out = name ? name : path.filename().string();
  g_free(name);
  return out;
}

json::object envelope(const json::object& record, const json::object& doc, json::value stored_doc) {
  json::object rec;
  if (const json::value* rev = record.if_contains("rev")) {
    rec["rev"] = *rev;
  } else {
    rec["rev"] = 1;
  }
  if (const json::value* updated = record.if_contains("updated")) {
    rec["updated"] = *updated;
  } else if (const json::value* doc_updated = doc.if_contains("updated")) {
    rec["updated"] = *doc_updated;
  } else {
    rec["updated"] = 0;
  }
  json::object out;
  out["app"] = appSignature();
  out["doc"] = std::move(stored_doc);
  out["format"] = kFormat;
  out["record"] = std::move(rec);
  out["schema"] = 3;
  out["version"] = 1;
  return out;
}

// Removes image files no longer referenced, and the folder when none is.
void prune_images(const fs::path& folder, const std::set<std::string>& used) {
  std::error_code ec;
  if (used.empty()) {
    fs::remove_all(folder, ec);
    return;
  }
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!used.contains(it->path().filename().string())) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

}  // namespace

std::string fileName(const json::object& doc) {
  std::string name =
      text::trim_whitespace_and_newlines(json::find_string(doc, "title").value_or(""));
  if (name.empty()) {
    name = text::trim_punctuation_and_whitespace(Preview::firstWords(doc).value_or("Untitled"));
  }
  name = text::replace_all(name, "/", "-");
  name = text::replace_all(name, ": ", " \u2013 ");
  name = text::replace_all(name, ":", "-");
  if (name.starts_with(".")) name[0] = '_';
  if (text::grapheme_count(name) > kMaxNameCharacters) {
    name = text::trim_whitespace(text::grapheme_prefix(name, kMaxNameCharacters));
  }
  // File systems here limit a name to 255 bytes, and 80 characters of emoji exceed that; keep
  // room for " 12345" and the extension. A NUL can't be in a file name at all.
  name = text::replace_all(name, std::string_view("\0", 1), "");
  if (name.size() > kMaxNameBytes) {
    std::size_t keep = text::grapheme_count(name);
    while (keep > 0 && name.size() > kMaxNameBytes) name = text::grapheme_prefix(name, --keep);
    name = text::trim_whitespace(name);
  }
  if (name.empty()) return "Untitled";
  return name;
}

fs::path freeURL(const fs::path& folder, std::string_view base,
                 const std::optional<fs::path>& except) {
  const fs::path ignored = except ? except->lexically_normal() : fs::path();
  for (unsigned long n = 1;; ++n) {
    std::string name(base);
    if (n > 1) name += " " + std::to_string(n);
    fs::path candidate = folder / (name + std::string(kPackageExtension));
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
    if (except && candidate.lexically_normal() == ignored) return candidate;
  }
}

Placement placement(std::string_view id, const json::object& doc, const fs::path& root,
                    const fs::path& support) {
  if (id.starts_with("_")) return {support / kReservedFolder, std::string(id)};
  if (json::is_true_flag(doc.if_contains("archived"))) {
    return {root / kArchiveFolder, fileName(doc)};
  }
  return {root, fileName(doc)};
}

std::optional<json::object> readRecord(const fs::path& package) {
  auto data = file_io::read_file(package / kDocumentFile);
  if (!data) return std::nullopt;
  auto parsed = json::parse(*data);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::object& envelope = parsed->get_object();
  if (json::find_string(envelope, "format") != kFormat) return std::nullopt;
  const json::object* doc = json::find_object(envelope, "doc");
  if (!doc) return std::nullopt;
  auto id = json::find_string(*doc, "id");
  if (!id) return std::nullopt;

  json::value restored = images::restoreImages(*doc, package / "images");
  const json::object& restored_doc = restored.is_object() ? restored.get_object() : *doc;
  static const json::object kEmpty;
  const json::object* stored = json::find_object(envelope, "record");
  const json::object& rec = stored ? *stored : kEmpty;

  json::object out;
  out["id"] = *id;
  if (const json::value* rev = rec.if_contains("rev")) {
    out["rev"] = *rev;
  } else {
    out["rev"] = 1;
  }
  if (const json::value* updated = restored_doc.if_contains("updated")) {
    out["updated"] = *updated;
  } else if (const json::value* rec_updated = rec.if_contains("updated")) {
    out["updated"] = *rec_updated;
  } else {
    out["updated"] = clock::now_ms();
  }
  out["deleted"] = false;
  out["deletedAt"] = nullptr;
  out["doc"] = restored_doc;
  return out;
}

Read readIDOrReason(const fs::path& package) {
  auto data = file_io::read_file(package / kDocumentFile);
  if (!data) return {std::nullopt, std::string(kReasonUnreadable)};
  auto parsed = json::parse(*data);
  const json::object* doc =
      parsed && parsed->is_object() ? json::find_object(parsed->get_object(), "doc") : nullptr;
  auto id = doc ? json::find_string(*doc, "id") : std::nullopt;
  if (!id) return {std::nullopt, std::string(kReasonNotDocument)};
  return {std::string(*id), {}};
}

bool writePackage(const fs::path& package, const json::object& record, const json::object& doc,
                  const WriteHooks& hooks) {
  std::string error;
  auto fail = [&](std::string_view why) {
    log_write_failure(package, why);
    return false;
  };

  std::error_code ec;
  const bool existed = fs::is_directory(package, ec);
  if (!file_io::create_folders(package, &error)) return fail(error);

  std::set<std::string> used;
  json::value stored_doc = images::extractImages(doc, package / "images", used);

  auto text = json::pretty(envelope(record, doc, std::move(stored_doc)));
  if (!text) return fail("the document can't be written as JSON");
  // The new document is prepared now and put in place only once everything beside it is
  // written, so that a failure at any step leaves the previous document whole.
  file_io::PendingFile document;
  if (!document.prepare(package / kDocumentFile, *text, &error)) return fail(error);

  Preview preview(doc);
  if (!file_io::write_atomically(package / "preview.md", preview.markdown(),
                                 file_io::Durability::kFileOnly, &error)) {
    return fail(error);
  }
  const fs::path quick_look = package / "QuickLook";
  if (!file_io::create_folders(quick_look, &error)) return fail(error);
  if (!file_io::write_atomically(quick_look / "Preview.html", preview.html(),
                                 file_io::Durability::kFileOnly, &error)) {
    return fail(error);
  }

  bool new_thumbnail = false;
  const fs::path thumbnail = quick_look / "Thumbnail.png";
  if (auto png = preview.thumbnailPNG(kThumbnailSize)) {
    // An unchanged thumbnail is left alone, so that saves don't touch it or the icon.
    auto old = existed ? file_io::read_file(thumbnail) : std::nullopt;
    if (!old || *old != *png) {
      if (!file_io::write_atomically(thumbnail, *png, file_io::Durability::kFileOnly, &error)) {
        return fail(error);
      }
      new_thumbnail = true;
    }
  }

  if (!document.commit(file_io::Durability::kSurvivesCrash, &error)) return fail(error);
  prune_images(package / "images", used);

  if (new_thumbnail && hooks.set_icon && hooks.main_loop) {
    hooks.main_loop->post(
        [set_icon = hooks.set_icon, package, thumbnail] { set_icon(package, thumbnail); });
  }
  return true;
}

std::string spokenName(const fs::path& folder) {
  fs::path path = folder.lexically_normal();
  if (path.has_filename() == false && path.has_parent_path()) path = path.parent_path();
  return display_name(path.parent_path()) + " \u2192 " + display_name(path);
}

fs::path supportURL() {
  if (const char* env = std::getenv("QUILLSTONE_SUPPORT"); env && *env) return fs::path(env);
  return fs::path(g_get_user_data_dir()) / "quillstone";
}

std::string appSignature() {
  return std::string("Quillstone for Linux ") + build::kVersion;
}

}  // namespace qs::library
