#include "library/version_packages.h"

#include <fcntl.h>

#include "core/digest.h"
#include "core/ids.h"
#include "library/images.h"
#include "library/versions.h"

namespace qs::library {

namespace {

// A picture whose bytes are what its content-hash name says.
bool isNamedByContent(std::string_view name, std::string_view bytes) {
  const auto digest = digest::sha256(bytes);
  const std::string hex = digest::hex(digest.data(), 10);
  return name.size() > hex.size() && name.substr(0, hex.size()) == hex && name[hex.size()] == '.';
}

}  // namespace

std::string curlyQuoted(std::string_view s) {
  return "\u201c" + std::string(s) + "\u201d";
}

std::optional<json::object> readEnvelope(const file_io::Folder& folder, std::string_view name) {
  auto st = folder.status(name);
  if (!st || !S_ISREG(st->st_mode) || st->st_size == 0) return std::nullopt;
  auto bytes = folder.read(name, kMaxDocumentBytes);
  return bytes ? parseEnvelope(*bytes) : std::nullopt;
}

std::optional<json::object> parseEnvelope(std::string_view bytes) {
  auto parsed = json::parse(bytes);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::object* doc = json::findObject(parsed->get_object(), "doc");
  auto id = doc ? json::findString(*doc, "id") : std::nullopt;
  if (!id || !ids::isDocumentID(*id) || ids::isReservedID(*id)) return std::nullopt;
  return std::move(parsed->get_object());
}

const json::object& docOf(const json::object& envelope) {
  return *json::findObject(envelope, "doc");
}

std::string idOf(const json::object& envelope) {
  return std::string(*json::findString(docOf(envelope), "id"));
}

std::string titleOf(const json::object& doc) {
  auto title = json::findString(doc, "title");
  return title && !title->empty() ? std::string(*title) : fileName(doc);
}

std::chrono::system_clock::time_point modifiedAt(const struct stat& st) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

std::chrono::system_clock::time_point modifiedAt(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? modifiedAt(st) : std::chrono::system_clock::time_point();
}

std::chrono::system_clock::time_point timeOf(const json::object& envelope,
                                             std::chrono::system_clock::time_point source) {
  const double updated = standingOf(envelope).updated;
  if (updated <= 0 || updated > 8.64e15) return source;
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double, std::milli>(updated)));
}

json::object asVersion(const json::object& doc, const std::string& id, std::string_view when) {
  json::object out = doc;
  out["title"] = versionTitle(doc, when);
  out["id"] = id;
  return out;
}

std::set<std::string> copyMissingImages(const fs::path& package, const json::value& doc,
                                        const std::vector<fs::path>& sources) {
  std::set<std::string> wanted;
  images::referencedImages(doc, wanted);
  std::set<std::string> missing;
  if (wanted.empty()) return missing;
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  auto images = folder ? folder->sub("images", file_io::Folder::Create::kYes) : std::nullopt;
  if (!images) return wanted;
  for (const auto& name : wanted) {
    if (auto st = images->status(name); st && S_ISREG(st->st_mode)) continue;
    bool copied = false;
    for (const auto& source : sources) {
      auto from = file_io::Folder::open(source / "images", file_io::Links::kRefuse);
      auto st = from ? from->status(name) : std::nullopt;
      auto bytes = st && S_ISREG(st->st_mode) ? from->read(name) : std::nullopt;
      if (!bytes || !isNamedByContent(name, *bytes)) continue;
      if (!images->writeAtomically(name, *bytes, file_io::Durability::kFileOnly)) break;
      const struct timespec times[2] = {st->st_mtim, st->st_mtim};
      (void)::utimensat(images->fd(), name.c_str(), times, AT_SYMLINK_NOFOLLOW);
      copied = true;
      break;
    }
    if (!copied) missing.insert(name);
  }
  return missing;
}

MadeHere makePackageHere(const fs::path& folder, const std::string& id, const json::object& doc,
                         const json::object& source, std::chrono::system_clock::time_point when,
                         const std::vector<fs::path>& sources, WriteHooks hooks) {
  MadeHere out;
  out.package = folder / (madeHereName(doc, id) + std::string(kPackageExtension));
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    if (!file_io::createFolders(folder)) return out;
  } else if (!S_ISDIR(st.st_mode)) {
    return out;  // an Archive that is a link or a file is never written through
  }
  if (::lstat(out.package.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode) || readIDOrReason(out.package).id != id) return out;
    out.outcome = MadeHere::Outcome::kAlreadyThere;
    out.missing_images = copyMissingImages(out.package, doc, sources);
    return out;
  }
  // The pictures come along as the page's data URLs would, and are stored again under their
  // names: the package holds every one it references that any source has.
  json::value restored = doc;
  for (const auto& from : sources) restored = images::restoreImages(restored, from);
  json::object record;
  if (const json::object* kept = json::findObject(source, "record")) record = *kept;
  if (const json::value* app = source.if_contains("app"); app && app->is_string()) {
    hooks.app = std::string(app->get_string());
  }
  hooks.file_time = when;
  hooks.secondary_failed = {};
  hooks.sync_folder_later = {};
  std::set<std::string> missing;
  if (!writePackage(out.package, record, restored.as_object(), hooks, &missing)) return out;
  out.outcome = MadeHere::Outcome::kWritten;
  out.missing_images = std::move(missing);
  return out;
}

}  // namespace qs::library
