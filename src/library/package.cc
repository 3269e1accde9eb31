#include "library/package.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <set>

#include "core/build_info.h"
#include "core/clock.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/system_log.h"
#include "core/text.h"
#include "library/images.h"
#include "library/versions.h"
#include "preview/preview.h"

namespace qs::library {

namespace {

constexpr std::size_t kMaxNameCharacters = 80;
constexpr std::size_t kMaxNameBytes = 255 - 6 - 11;
constexpr double kThumbnailSize = 512;
constexpr auto kStaleAfter = std::chrono::hours(1);
constexpr std::string_view kImages = "images";
constexpr std::string_view kQuickLook = "QuickLook";
// A version file is a copy of a "document.json": one far larger isn't read for its pictures.
constexpr std::size_t kMaxVersionFileBytes = 256u << 20;

void logWriteFailure(const fs::path& package, std::string_view why) {
  systemLog("couldn't write %s: %.*s", package.c_str(), static_cast<int>(why.size()), why.data());
}

fs::file_time_type fileTime(const struct timespec& t) {
  return std::chrono::file_clock::from_sys(std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec))));
}

bool isStale(const struct stat& st) {
  return fs::file_time_type::clock::now() - fileTime(st.st_mtim) > kStaleAfter;
}

// The length of the line or paragraph separator, or of the bidirectional control, at the start
// of `s` (U+2028, U+2029, U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069); else 0.
// Like the control characters, they break a name across lines or reorder it when shown.
std::size_t layoutMarkAt(std::string_view s) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  if (s.size() >= 2 && byte(0) == 0xd8 && byte(1) == 0x9c) return 2;
  if (s.size() < 3 || byte(0) != 0xe2) return 0;
  const unsigned char b1 = byte(1), b2 = byte(2);
  if (b1 == 0x80 && (b2 == 0x8e || b2 == 0x8f || (b2 >= 0xa8 && b2 <= 0xae))) return 3;
  if (b1 == 0x81 && b2 >= 0xa6 && b2 <= 0xa9) return 3;
  return 0;
}

// Control characters (C0, DEL, C1) can't be typed or shown in a file name; with kReplace, nor can
// the layout marks above.
enum class LayoutMarks { kReplace, kKeep };
std::string replaceControlCharacters(std::string_view s, LayoutMarks marks) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7f) {
      out += '-';
    } else if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9f) {
      out += '-';
      ++i;
    } else if (std::size_t n = marks == LayoutMarks::kReplace ? layoutMarkAt(s.substr(i)) : 0) {
      out += '-';
      i += n - 1;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string displayName(const fs::path& path) {
  gchar* name = g_filename_display_basename(path.c_str());
  std::string out = name ? name : path.filename().string();
  g_free(name);
  return out;
}

json::object envelope(const json::object& record, const json::object& doc, json::value stored_doc,
                      const std::optional<std::string>& app) {
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
  out["app"] = app ? *app : appSignature();
  out["doc"] = std::move(stored_doc);
  out["format"] = kFormat;
  out["record"] = std::move(rec);
  out["schema"] = 3;
  out["version"] = 1;
  return out;
}

// The image files the version files in the package reference: a picture only the other
// computer's version holds must stay until that version is brought in.
void addImagesOfVersions(const file_io::Folder& package, std::set<std::string>& used) {
  for (const auto& name : package.names().value_or(std::vector<std::string>{})) {
    if (!parseVersionFileName(name)) continue;
    auto bytes = package.read(name, kMaxVersionFileBytes);
    auto parsed = bytes ? json::parse(*bytes) : std::nullopt;
    if (parsed) images::referencedImages(*parsed, used);
  }
}

// Removes the copies a sync tool set aside of the previews in `folder` (`originals` names them):
// the new ones replace both.
void removePreviewCopies(const file_io::Folder& folder,
                         std::initializer_list<std::string_view> originals) {
  for (const auto& name : folder.names().value_or(std::vector<std::string>{})) {
    auto copy = parseSetAsideName(name);
    if (!copy || std::find(originals.begin(), originals.end(), copy->original) == originals.end())
      continue;
    auto st = folder.status(name);
    if (st && S_ISREG(st->st_mode)) folder.removeFile(name);
  }
}

// Gives the files the package is made of one modification time.
void setFileTimes(const file_io::Folder& package, std::chrono::system_clock::time_point when) {
  const auto since_epoch = when.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds.count());
  times[0].tv_nsec = static_cast<long>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds).count());
  times[1] = times[0];
  auto stamp = [&](const file_io::Folder& folder) {
    for (const auto& name : folder.names().value_or(std::vector<std::string>{})) {
      auto st = folder.status(name);
      if (st && S_ISREG(st->st_mode)) {
        (void)::utimensat(folder.fd(), name.c_str(), times, AT_SYMLINK_NOFOLLOW);
      }
    }
  };
  stamp(package);
  for (std::string_view sub : {kImages, kQuickLook}) {
    if (auto folder = package.sub(sub)) stamp(*folder);
  }
}

// Removes regular files of a real "images" folder that nothing references, and the folder when
// none is. A linked "images" isn't opened; links, folders and other things inside are left.
void pruneImages(const file_io::Folder& package, const std::set<std::string>& used) {
  auto images = package.sub(kImages);
  if (!images) return;
  for (const auto& name : images->names().value_or(std::vector<std::string>{})) {
    if (used.contains(name) || isSyncToolFile(name)) continue;
    auto st = images->status(name);
    if (!st || !S_ISREG(st->st_mode)) continue;
    if (file_io::isTemporaryName(name) && !isStale(*st)) continue;
    images->removeFile(name);
  }
  if (used.empty()) package.removeEmptyFolder(kImages);
}

// Removes temporary files a crash mid-write left in a folder of the package, once an hour old.
void removeStaleTemporaries(const file_io::Folder& folder) {
  for (const auto& name : folder.names().value_or(std::vector<std::string>{})) {
    if (!file_io::isTemporaryName(name)) continue;
    auto st = folder.status(name);
    if (st && S_ISREG(st->st_mode) && isStale(*st)) folder.removeFile(name);
  }
}

// What a title may not keep in a file name: control characters, "/" and ":".
std::string safeForFileName(std::string_view s, LayoutMarks marks) {
  std::string name = replaceControlCharacters(s, marks);
  name = text::replaceAll(name, "/", "-");
  name = text::replaceAll(name, ": ", " \u2013 ");
  return text::replaceAll(name, ":", "-");
}

std::string fileNameWithin(const json::object& doc, std::size_t max_bytes, LayoutMarks marks) {
  std::string title = text::trimWhitespaceAndNewlines(json::findString(doc, "title").value_or(""));
  if (title.empty()) {
    title = text::trimPunctuationAndWhitespace(Preview::firstWords(doc).value_or("Untitled"));
  }
  // A version's suffix is kept whole: a long title is cut before it, never through it.
  const auto [head, suffix] = splitVersionSuffix(title);
  std::string name = safeForFileName(head, marks);
  const std::string tail = safeForFileName(suffix, marks);
  if (name.starts_with(".")) name[0] = '_';
  const std::size_t tail_characters = text::graphemeCount(tail);
  if (text::graphemeCount(name) + tail_characters > kMaxNameCharacters) {
    name = text::trimWhitespace(text::graphemePrefix(name, kMaxNameCharacters - tail_characters));
  }
  // File systems here limit a name to 255 bytes, and 80 characters of emoji exceed that; keep
  // room for " 12345" and the extension.
  if (name.size() + tail.size() > max_bytes) {
    std::size_t keep = text::graphemeCount(name);
    while (keep > 0 && name.size() + tail.size() > max_bytes) {
      name = text::graphemePrefix(name, --keep);
    }
    name = text::trimWhitespace(name);
  }
  if (name.empty()) name = "Untitled";
  return name + tail;
}

}  // namespace

std::string fileName(const json::object& doc) {
  return fileNameWithin(doc, kMaxNameBytes, LayoutMarks::kReplace);
}

std::string fileName(const json::object& doc, std::size_t max_bytes) {
  return fileNameWithin(doc, kMaxNameBytes < max_bytes ? kMaxNameBytes : max_bytes,
                        LayoutMarks::kReplace);
}

std::optional<std::string> earlierFileName(const json::object& doc) {
  std::string earlier = fileNameWithin(doc, kMaxNameBytes, LayoutMarks::kKeep);
  if (earlier == fileName(doc)) return std::nullopt;
  return earlier;
}

fs::path freeURL(const fs::path& folder, std::string_view base,
                 const std::optional<fs::path>& except,
                 const std::function<bool(const fs::path&)>& taken) {
  const fs::path ignored = except ? except->lexically_normal() : fs::path();
  for (unsigned long n = 1;; ++n) {
    std::string name(base);
    if (n > 1) name.append(" ").append(std::to_string(n));
    fs::path candidate = folder / (name + std::string(kPackageExtension));
    std::error_code ec;
    if (except && candidate.lexically_normal() == ignored) return candidate;
    if (taken && taken(candidate)) continue;
    if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
  }
}

Placement placement(std::string_view id, const json::object& doc, const fs::path& root,
                    const fs::path& support) {
  if (id.starts_with("_")) return {support / kReservedFolder, std::string(id)};
  if (json::isTrueFlag(doc.if_contains("archived"))) {
    return {root / kArchiveFolder, fileName(doc)};
  }
  return {root, fileName(doc)};
}

std::optional<std::string> readDocumentFile(const fs::path& package) {
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  if (!folder) return std::nullopt;
  return folder->read(kDocumentFile);
}

std::optional<Stamp> documentStamp(const fs::path& package) {
  struct stat st {};
  const fs::path file = package / kDocumentFile;
  if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return Stamp{static_cast<std::uintmax_t>(st.st_size), fileTime(st.st_mtim)};
}

std::optional<json::object> readRecord(const fs::path& package,
                                       std::set<std::string>* missing_images) {
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  if (!folder) return std::nullopt;
  auto data = folder->read(kDocumentFile);
  if (!data) return std::nullopt;
  auto parsed = json::parse(*data);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::object& envelope = parsed->get_object();
  if (json::findString(envelope, "format") != kFormat) return std::nullopt;
  const json::object* doc = json::findObject(envelope, "doc");
  if (!doc) return std::nullopt;
  auto id = json::findString(*doc, "id");
  if (!id) return std::nullopt;

  json::value restored = images::restoreImages(*doc, *folder, missing_images);
  const json::object& restored_doc = restored.is_object() ? restored.get_object() : *doc;
  static const json::object kEmpty;
  const json::object* stored = json::findObject(envelope, "record");
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
    out["updated"] = clock::nowMs();
  }
  out["deleted"] = false;
  out["deletedAt"] = nullptr;
  out["doc"] = restored_doc;
  return out;
}

namespace {

std::optional<FolderStamp> folderStampOf(int result, const struct stat& st) {
  if (result != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return FolderStamp{static_cast<std::uint64_t>(st.st_ino), st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

}  // namespace

std::optional<FolderStamp> folderStamp(int fd) {
  struct stat st {};
  const int result = ::fstat(fd, &st);
  return folderStampOf(result, st);
}

std::optional<FolderStamp> folderStamp(const fs::path& path) {
  struct stat st {};
  const int result = ::lstat(path.c_str(), &st);
  return folderStampOf(result, st);
}

Read readIDOrReason(const fs::path& package) {
  auto data = readDocumentFile(package);
  if (!data) return {std::nullopt, std::string(kReasonUnreadable)};
  auto parsed = json::parse(*data);
  const json::object* doc =
      parsed && parsed->is_object() ? json::findObject(parsed->get_object(), "doc") : nullptr;
  auto id = doc ? json::findString(*doc, "id") : std::nullopt;
  if (!id) return {std::nullopt, std::string(kReasonNotDocument)};
  return {std::string(*id), {}};
}

namespace {

// Writes "document.json" into the package folder being built (`existed`: the package itself),
// its images beside it, and prunes what nothing references any more. False, with `error` said,
// when the document wasn't saved.
bool writeDocument(const file_io::Folder& folder, bool existed, const json::object& record,
                   const json::object& doc, const WriteHooks& hooks,
                   std::set<std::string>* missing_images, std::string& error) {
  std::set<std::string> used;
  json::value stored_doc = images::extractImages(doc, folder, used);
  auto text = json::pretty(envelope(record, doc, std::move(stored_doc), hooks.app));
  if (!text) {
    error = "the document can't be written as JSON";
    return false;
  }
  // A new package's folder is synced whole before it is renamed into place, which covers the
  // document's entry in it.
  const auto durability =
      existed ? file_io::Durability::kSurvivesCrash : file_io::Durability::kFileOnly;
  // The file it replaces comes out in the same step, so that text a sync tool put there a moment
  // ago is handed over rather than lost; its pictures are all still in the package then.
  file_io::PendingFile document;
  file_io::PendingFile::Displaced displaced;
  if (!document.prepare(folder, kDocumentFile, *text, &error) ||
      !document.commitExchanging(durability, displaced, &error)) {
    return false;
  }
  if (displaced.present && hooks.replaced) hooks.replaced(displaced.bytes, displaced.status);
  std::set<std::string> kept = used;
  if (existed) addImagesOfVersions(folder, kept);
  pruneImages(folder, kept);
  if (existed) {
    removeStaleTemporaries(folder);
    removePreviewCopies(folder, {"preview.md"});
  }
  if (missing_images) {
    missing_images->clear();
    auto images = folder.sub(kImages);
    for (const auto& name : used) {
      auto file = images ? images->status(name) : std::nullopt;
      if (!file || !S_ISREG(file->st_mode)) missing_images->insert(name);
    }
  }
  return true;
}

// The previews beside the document, for other programs: one that can't be written is logged
// and the save still counts. True when a new thumbnail was written.
bool writePreviews(const file_io::Folder& folder, const fs::path& package, bool existed,
                   const json::object& doc, const WriteHooks& hooks) {
  std::string error;
  auto secondary = [&](std::string_view name, const std::string& why) {
    const fs::path file = package / std::string(name);
    systemLog("couldn't write %s: %s", file.c_str(), why.c_str());
    if (hooks.secondary_failed) hooks.secondary_failed(file, why);
  };
  Preview preview(doc);
  if (!folder.writeAtomically("preview.md", preview.markdown(), file_io::Durability::kFileOnly,
                              &error)) {
    secondary("preview.md", error);
  }
  auto quick_look = folder.sub(kQuickLook, file_io::Folder::Create::kYes, &error);
  if (!quick_look) {
    secondary(kQuickLook, error);
    return false;
  }
  if (!quick_look->writeAtomically("Preview.html", preview.html(), file_io::Durability::kFileOnly,
                                   &error)) {
    secondary("QuickLook/Preview.html", error);
  }
  if (existed) {
    removeStaleTemporaries(*quick_look);
    removePreviewCopies(*quick_look, {"Preview.html", "Thumbnail.png"});
  }
  // A thumbnail drawn from the same inputs is current: it is neither drawn again nor touched,
  // nor is the icon. Anything else there (another program's image, a damaged file, one drawn
  // the old way) is replaced.
  auto old = existed ? quick_look->read("Thumbnail.png") : std::nullopt;
  const bool current = old && Preview::thumbnailInputsOf(*old) ==
                                  std::optional(preview.thumbnailInputs(kThumbnailSize));
  auto png = current ? std::nullopt : preview.thumbnailPNG(kThumbnailSize);
  if (!png || (old && *old == *png)) return false;
  if (quick_look->writeAtomically("Thumbnail.png", *png, file_io::Durability::kFileOnly, &error)) {
    return true;
  }
  secondary("QuickLook/Thumbnail.png", error);
  return false;
}

// Puts a new package, built whole under a temporary name in `parent`, in its place.
bool placeNewPackage(const file_io::Folder& parent, const file_io::Folder& folder,
                     const fs::path& package, const WriteHooks& hooks, std::string& error) {
  if (hooks.file_time) setFileTimes(folder, *hooks.file_time);
  if (!folder.sync(&error)) return false;
  if (!file_io::renameNoReplace(folder.path(), package, &error)) return false;
  if (hooks.sync_folder_later) {
    hooks.sync_folder_later(parent.path());
  } else if (std::string unsynced; !parent.sync(&unsynced)) {
    // The package is there, whole; only its surviving a power cut is in doubt.
    systemLog("%s", unsynced.c_str());
  }
  return true;
}

}  // namespace

bool writePackage(const fs::path& package, const json::object& record, const json::object& doc,
                  const WriteHooks& hooks, std::set<std::string>* missing_images) {
  std::string error;
  auto fail = [&](std::string_view why) {
    logWriteFailure(package, why);
    return false;
  };

  // The package's place holds the package folder, or nothing yet; a link or a file there is
  // not ours to write through or replace.
  struct stat st {};
  const bool existed = ::lstat(package.c_str(), &st) == 0;
  if (existed && !S_ISDIR(st.st_mode)) return fail("there is something else in its place");
  if (!existed && errno != ENOENT) return fail(std::strerror(errno));
  const fs::path parent_path = package.has_parent_path() ? package.parent_path() : fs::path(".");
  if (!file_io::createFolders(parent_path, &error)) return fail(error);
  auto parent = file_io::Folder::open(parent_path, file_io::Links::kFollow, &error);
  if (!parent) return fail(error);

  // A new package is made under a temporary name and appears in one rename once whole; a
  // crash leaves at most a hidden temporary folder, which a later scan removes.
  const std::string final_name = package.filename().string();
  const std::string build_name = existed ? final_name : file_io::temporaryName(final_name);
  auto folder = parent->sub(build_name, file_io::Folder::Create::kYes, &error);
  if (!folder) return fail(error);
  struct RemoveUnlessKept {
    fs::path path;
    ~RemoveUnlessKept() {
      std::error_code ignored;
      if (!path.empty()) fs::remove_all(path, ignored);
    }
  } unfinished{existed ? fs::path() : folder->path()};

  if (!writeDocument(*folder, existed, record, doc, hooks, missing_images, error)) {
    return fail(error);
  }
  const bool new_thumbnail = writePreviews(*folder, package, existed, doc, hooks);
  if (!existed) {
    if (!placeNewPackage(*parent, *folder, package, hooks, error)) return fail(error);
    unfinished.path.clear();
  }
  if (new_thumbnail && hooks.set_icon && hooks.main_loop) {
    hooks.main_loop->post([set_icon = hooks.set_icon, package] {
      set_icon(package, package / kQuickLook / "Thumbnail.png");
    });
  }
  return true;
}

std::string spokenName(const fs::path& folder) {
  fs::path path = folder.lexically_normal();
  if (path.has_filename() == false && path.has_parent_path()) path = path.parent_path();
  return displayName(path.parent_path()) + " \u2192 " + displayName(path);
}

fs::path supportURL() {
  if (const char* env = std::getenv("QUILLSTONE_SUPPORT"); env && *env) return fs::path(env);
  return fs::path(g_get_user_data_dir()) / "quillstone";
}

std::string appSignature() {
  return std::string("Quillstone for Linux ") + build::kVersion;
}

}  // namespace qs::library
