#include "library/versions.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <regex>

#include "core/digest.h"
#include "core/text.h"
#include "library/package.h"
#include "preview/preview.h"

namespace qs::library {

namespace {

// Package names end in ".quillstone" and may hold 255 bytes; the tag takes 9 of them.
constexpr std::size_t kTagLength = 8;
constexpr std::size_t kMadeHereNameBytes = 255 - 11 - (kTagLength + 1);

std::string tag(std::string_view id) {
  const auto digest = digest::sha256(id);
  return digest::hex(digest.data(), kTagLength / 2);
}

}  // namespace

std::string versionId(std::string_view original_id, std::string_view compact_doc) {
  std::string input;
  input.reserve(original_id.size() + 1 + compact_doc.size());
  input.append(original_id).push_back('\0');
  input.append(compact_doc);
  const auto digest = digest::sha256(input);
  return "v" + digest::hex(digest.data(), 16);
}

std::string utcMinute(double milliseconds) {
  // Out of a date's range (or not a number) counts as 0: a version is still brought in.
  if (!std::isfinite(milliseconds) || std::abs(milliseconds) > 8.64e15) milliseconds = 0;
  const auto seconds = static_cast<std::time_t>(std::floor(milliseconds / 1000));
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min);
  return buf;
}

std::pair<std::string_view, std::string_view> splitVersionSuffix(std::string_view title) {
  static const std::regex suffix(R"( \(version from \d{4}-\d{2}-\d{2}(?: \d{2}:\d{2})?\)$)");
  std::match_results<std::string_view::const_iterator> m;
  if (!std::regex_search(title.begin(), title.end(), m, suffix)) return {title, {}};
  const auto at = static_cast<std::size_t>(m.position(0));
  return {title.substr(0, at), title.substr(at)};
}

std::string versionTitle(const json::object& doc, std::string_view when) {
  std::string title = text::trimWhitespaceAndNewlines(json::findString(doc, "title").value_or(""));
  title = std::string(splitVersionSuffix(title).first);
  if (title.empty()) {
    title = text::trimPunctuationAndWhitespace(Preview::firstWords(doc).value_or("Untitled"));
  }
  if (title.empty()) title = "Untitled";
  return title + " (version from " + std::string(when) + ")";
}

bool sameButUpdated(const json::object& a, const json::object& b) {
  const std::size_t a_size = a.size() - (a.contains("updated") ? 1 : 0);
  const std::size_t b_size = b.size() - (b.contains("updated") ? 1 : 0);
  if (a_size != b_size) return false;
  for (const auto& kv : a) {
    if (kv.key() == "updated") continue;
    const json::value* other = b.if_contains(kv.key());
    if (!other || *other != kv.value()) return false;
  }
  return true;
}

std::string madeHereName(const json::object& doc, std::string_view id) {
  return fileName(doc, kMadeHereNameBytes) + " " + tag(id);
}

bool isMadeHereName(std::string_view stem, const json::object& doc, std::string_view id) {
  // The tag is checked first: it rules out nearly every name without making the file name.
  const std::string t = tag(id);
  return stem.size() > t.size() && stem.ends_with(t) && stem == madeHereName(doc, id);
}

Standing standingOf(const json::object& envelope) {
  Standing out;
  const json::object* doc = json::findObject(envelope, "doc");
  const json::object* record = json::findObject(envelope, "record");
  const json::value* updated = doc ? doc->if_contains("updated") : nullptr;
  if (!updated || !json::asNumber(*updated)) {
    updated = record ? record->if_contains("updated") : nullptr;
  }
  if (updated) out.updated = json::asNumber(*updated).value_or(0);
  if (const json::value* rev = record ? record->if_contains("rev") : nullptr) {
    if (auto r = json::asNumber(*rev); r && std::isfinite(*r)) {
      out.rev = *r >= 9.2e18    ? std::numeric_limits<std::int64_t>::max()
                : *r <= -9.2e18 ? std::numeric_limits<std::int64_t>::min()
                                : static_cast<std::int64_t>(*r);
    }
  }
  return out;
}

bool keepsTheID(const Standing& a, std::string_view a_name, const Standing& b,
                std::string_view b_name) {
  if (a.updated != b.updated) return a.updated > b.updated;
  if (a.rev != b.rev) return a.rev > b.rev;
  return a_name < b_name;
}

}  // namespace qs::library
