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
std::optional<std::string> compact_ascii(const value& v);

// File serialisation: two-space indentation, keys sorted by their bytes, "/" unescaped.
std::optional<std::string> pretty(const value& v);

// How characters past U+007F are written: as they are, or as \u escapes (compact_ascii).
enum class NonAscii { kLiteral, kEscaped };

// Appends the compact form to `out`, so that many values can share one growing buffer. False,
// with `out` as it was, when the value can't be written.
bool append_compact(std::string& out, const value& v, NonAscii non_ascii = NonAscii::kLiteral);

// Appends a compact text of this writer (characters as they are) in its ASCII form: the text
// compact_ascii gives for the same value.
void append_ascii_form(std::string& out, std::string_view compact_text);

// Helpers for reading loosely typed page data.
const value* find(const object& o, std::string_view key);
const object* find_object(const object& o, std::string_view key);
const array* find_array(const object& o, std::string_view key);
std::optional<std::string_view> find_string(const object& o, std::string_view key);

// A JSON number as a double (integers included); none for other kinds.
std::optional<double> as_number(const value& v);

// The value a JavaScript-like truth test of a stored flag gives: true, or a non-zero number.
bool is_true_flag(const value* v);

// The writer's compact output of one string and of one number, for a reader that writes as it
// parses. `at` has room for string_room(s.size()), or kNumberRoom, bytes; each returns the end
// of what it wrote, or null where the writer gives no text (a string that isn't UTF-8, a number
// that isn't finite).
constexpr std::size_t string_room(std::size_t size) {
  return 6 * size + 32;
}
inline constexpr std::size_t kNumberRoom = 32;
char* write_string(char* at, std::string_view s);
char* write_number(char* at, double d);

// A number with a fraction or an exponent as parse reads it: exactly, from its text;
// `boost_value` (Boost's own reading) stands where the text is out of a double's range.
double exact_double(std::string_view text, double boost_value);

}  // namespace qs::json
