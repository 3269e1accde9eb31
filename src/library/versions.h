// A document's other versions: a copy of "document.json" a sync tool set aside inside a package,
// a second package holding the same document, or text a sync tool put in place just before a save.
// Each is kept as a document of its own, so that the writer sees both and merges them by hand.
//
// What two computers sharing the writing folder decide about a version must be the same on both,
// from the shared files alone: ids, titles, names and bytes here depend on nothing else (not the
// local clock, the time zone, a ledger or what else is on this disk).
//
// Threads: pure; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/json.h"

namespace qs::library {

// The id of a version of the document `original_id` whose doc, as compact JSON text, is
// `compact_doc`: "v" and 32 hex digits of SHA-256(original id, NUL, text). The same text set
// aside under two names, or on two computers, gives one id.
std::string versionId(std::string_view original_id, std::string_view compact_doc);

// Milliseconds since 1970 as "YYYY-MM-DD HH:MM" in UTC.
std::string utcMinute(double milliseconds);

// A title split before a version's suffix " (version from …)", when it ends with one.
std::pair<std::string_view, std::string_view> splitVersionSuffix(std::string_view title);

// A version's title: the doc's title without a version suffix of its own (else its first words,
// else "Untitled"), then " (version from WHEN)". A version of a version keeps one suffix.
std::string versionTitle(const json::object& doc, std::string_view when);

// Whether two docs are the same but for their `updated`.
bool sameButUpdated(const json::object& a, const json::object& b);

// The base name of a package the program makes from shared files (a version's, a set-aside
// document's): the doc's file name and a tag from its id, never a name found free on this disk.
std::string madeHereName(const json::object& doc, std::string_view id);
// Whether `stem` is such a name for `doc` and `id` (a write then keeps the package's name).
bool isMadeHereName(std::string_view stem, const json::object& doc, std::string_view id);

// Where a package stands among others holding the same document: the doc's `updated`, else the
// record's, else 0; then the record's `rev` (1 when it has none).
struct Standing {
  double updated = 0;
  std::int64_t rev = 1;
};
Standing standingOf(const json::object& envelope);
// Whether the package `a_name` keeps the id over `b_name`: the newer `updated`, then the higher
// `rev`, then the name first in byte order.
bool keepsTheID(const Standing& a, std::string_view a_name, const Standing& b,
                std::string_view b_name);

}  // namespace qs::library
