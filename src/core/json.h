// JSON: Boost.JSON parses and holds values; this module writes them.
//
// Two written forms:
//  - compact, for everything handed to the page (keys in their stored order);
//  - file, for the library's files (pretty-printed, keys sorted, "/" not escaped).
// Both give no text for NaN, the infinities and strings that are not valid UTF-8, so a
// caller never writes a file or a reply a reader would choke on. Callable from any thread.
#pragma once

#include <boost/json.hpp>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qs::json {

using boost::json::array;
using boost::json::object;
using boost::json::value;

// Parses one JSON text. None on any syntax error; never throws. Nesting deeper than
// `max_depth` is refused rather than risking the stack.
std::optional<value> parse(std::string_view text, std::size_t max_depth = 512);

// A file that holds one JSON object, read whole; none when it can't be read or holds anything
// else.
std::optional<object> readObjectFile(const std::filesystem::path& file);

// Compact serialisation: no spaces, keys as stored.
std::optional<std::string> compact(const value& v);

// The compact form in ASCII alone: every character past U+007F is written as a \u escape, one
// past U+FFFF as its surrogate pair. The same JSON once parsed. A script engine keeps such a
// text at one byte a character, where a single curly quote would make the whole text two.
std::optional<std::string> compactAscii(const value& v);

// File serialisation: two-space indentation, keys sorted by their bytes, "/" unescaped.
std::optional<std::string> pretty(const value& v);

// How characters past U+007F are written: as they are, or as \u escapes (compactAscii).
enum class NonAscii { kLiteral, kEscaped };

// Appends the compact form to `out`, so that many values can share one growing buffer. False,
// with `out` as it was, when the value can't be written.
bool appendCompact(std::string& out, const value& v, NonAscii non_ascii = NonAscii::kLiteral);

// Appends a compact text of this writer (characters as they are) in its ASCII form: the text
// compactAscii gives for the same value.
void appendAsciiForm(std::string& out, std::string_view compact_text);

// Helpers for reading loosely typed page data.
const value* find(const object& o, std::string_view key);
const object* findObject(const object& o, std::string_view key);
const array* findArray(const object& o, std::string_view key);
std::optional<std::string_view> findString(const object& o, std::string_view key);

// A JSON number as a double (integers included); none for other kinds.
std::optional<double> asNumber(const value& v);

// The value a JavaScript-like truth test of a stored flag gives: true, or a non-zero number.
bool isTrueFlag(const value* v);

// The writer's compact output of one string and of one number, for a reader that writes as it
// parses. `at` has room for stringRoom(s.size()), or kNumberRoom, bytes; each returns the end
// of what it wrote, or null where the writer gives no text (a string that isn't UTF-8, a number
// that isn't finite).
constexpr std::size_t stringRoom(std::size_t size) {
  return 6 * size + 32;
}
inline constexpr std::size_t kNumberRoom = 32;
char* writeString(char* at, std::string_view s);
char* writeNumber(char* at, double d);

// A number with a fraction or an exponent as parse reads it: exactly, from its text;
// `boost_value` (Boost's own reading) stands where the text is out of a double's range.
double exactDouble(std::string_view text, double boost_value);

}  // namespace qs::json
