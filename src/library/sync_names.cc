#include "library/sync_names.h"

#include <array>
#include <regex>
#include <vector>

namespace qs::library {

namespace {

// One sync tool's name for a copy it set aside. The groups of `pattern` are named by position:
// the original name's stem and extension, then year, month, day, and hour and minute where the
// tool writes a time (0 where it doesn't).
struct CopyPattern {
  std::string_view tool;
  const char* pattern;
  int stem, extension, year, month, day, hour, minute;
};

// Where a tool changed its format over the years, each form has its row. Extensions are the
// last one only (".json"), as every tool puts its mark before it.
constexpr std::array kCopyPatterns{
    // Notes.sync-conflict-20261207-153012-ABCDEFG.json
    CopyPattern{
        "Syncthing",
        R"(^(.+)\.sync-conflict-(\d{4})(\d{2})(\d{2})-(\d{2})(\d{2})\d{2}-[A-Z0-9]{7}(\.[^.]*)?$)",
        1, 7, 2, 3, 4, 5, 6},
    // Notes (conflicted copy 2026-12-07 153012).json
    CopyPattern{
        "Nextcloud",
        R"(^(.+) \(conflicted copy (\d{4})-(\d{2})-(\d{2}) (\d{2})(\d{2})\d{2}\)(\.[^.]*)?$)", 1, 7,
        2, 3, 4, 5, 6},
    // Notes (conflicted copy 2026-12-07).json, Notes (Ann's conflicted copy 2026-12-07).json,
    // with " (1)" when that name was taken too.
    CopyPattern{
        "Dropbox",
        R"(^(.+) \((?:.+(?:'|\xE2\x80\x99)s )?conflicted copy (\d{4})-(\d{2})-(\d{2})(?: \(\d+\))?\)(\.[^.]*)?$)",
        1, 5, 2, 3, 4, 0, 0},
    // Notes_conflict-20261207-153012.json
    CopyPattern{"ownCloud",
                R"(^(.+)_conflict-(\d{4})(\d{2})(\d{2})-(\d{2})(\d{2})\d{2}(\.[^.]*)?$)", 1, 7, 2,
                3, 4, 5, 6},
    // Notes (SFConflict ann@example.com 2026-12-07-15-30-12).json
    CopyPattern{
        "Seafile",
        R"(^(.+) \(SFConflict [^ ()]+ (\d{4})-(\d{2})-(\d{2})-(\d{2})-(\d{2})-\d{2}\)(\.[^.]*)?$)",
        1, 7, 2, 3, 4, 5, 6},
};

// Marks a file manager or an older sync tool puts in a copy's name.
constexpr std::array<std::string_view, 3> kCopyMarks{"(conflicted copy", ".sync-conflict-",
                                                     " (copy)"};

const std::vector<std::regex>& compiled() {
  static const std::vector<std::regex> patterns = [] {
    std::vector<std::regex> out;
    for (const auto& p : kCopyPatterns) out.emplace_back(p.pattern, std::regex::ECMAScript);
    return out;
  }();
  return patterns;
}

}  // namespace

std::optional<SetAsideName> parseSetAsideName(std::string_view name) {
  if (name.size() > 255) return std::nullopt;  // no file name is longer
  // Every pattern holds one of these: most names are let go without a regular expression.
  const bool may_be = name.find(".sync-conflict-") != std::string_view::npos ||
                      name.find("conflicted copy") != std::string_view::npos ||
                      name.find("_conflict-") != std::string_view::npos ||
                      name.find("(SFConflict ") != std::string_view::npos;
  if (!may_be) return std::nullopt;
  const std::string subject(name);
  const auto& patterns = compiled();
  for (std::size_t i = 0; i < kCopyPatterns.size(); ++i) {
    std::smatch m;
    if (!std::regex_match(subject, m, patterns[i])) continue;
    const CopyPattern& p = kCopyPatterns[i];
    SetAsideName out;
    out.tool = p.tool;
    out.original = m[p.stem].str() + m[p.extension].str();
    out.when = m[p.year].str() + "-" + m[p.month].str() + "-" + m[p.day].str();
    if (p.hour) out.when += " " + m[p.hour].str() + ":" + m[p.minute].str();
    return out;
  }
  return std::nullopt;
}

std::optional<SetAsideName> parseVersionFileName(std::string_view name) {
  if (!name.starts_with("document") || !name.ends_with(".json")) return std::nullopt;
  auto parsed = parseSetAsideName(name);
  if (!parsed || parsed->original != "document.json") return std::nullopt;
  return parsed;
}

bool isConflictCopyName(std::string_view name) {
  for (std::string_view mark : kCopyMarks) {
    if (name.find(mark) != std::string_view::npos) return true;
  }
  return parseSetAsideName(name).has_value();
}

bool isSyncToolFile(std::string_view name) {
  // Syncthing: its folder marker, settings, versions kept, and files on their way in.
  if (name == ".stfolder" || name == ".stignore" || name == ".stversions") return true;
  if (name.starts_with(".syncthing.") && name.ends_with(".tmp")) return true;
  if (name.starts_with("~syncthing~") && name.ends_with(".tmp")) return true;
  // Dropbox: its cache and attributes.
  if (name.starts_with(".dropbox")) return true;
  // Nextcloud and ownCloud: lock files, downloads in progress, the sync journal.
  if (name.starts_with(".~lock.")) return true;
  if (name.ends_with(".part")) return true;
  if (name.starts_with(".sync_") && name.find(".db") != std::string_view::npos) return true;
  return false;
}

bool isSyncToolPath(std::string_view path, std::string_view folder) {
  std::string_view below = path;
  if (!folder.empty() && below.starts_with(folder)) below.remove_prefix(folder.size());
  while (!below.empty()) {
    while (below.starts_with('/')) below.remove_prefix(1);
    const std::size_t end = below.find('/');
    if (isSyncToolFile(below.substr(0, end))) return true;
    if (end == std::string_view::npos) break;
    below.remove_prefix(end);
  }
  return false;
}

}  // namespace qs::library
