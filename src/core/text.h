// Text helpers over UTF-8 strings. "Characters" here are extended grapheme clusters (ICU),
// the unit a writer sees. The white-space, newline and punctuation sets are Unicode's.
// Pure; callable from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qs::text {

bool isValidUTF8(std::string_view s);

// `s` with every invalid sequence replaced by U+FFFD (file names need not be UTF-8 here).
std::string makeValidUTF8(std::string_view s);

// Number of grapheme clusters. Invalid UTF-8 is counted after replacement with U+FFFD.
std::size_t graphemeCount(std::string_view s);

// The first `n` grapheme clusters of `s` (all of it when it has fewer).
std::string graphemePrefix(std::string_view s, std::size_t n);

// The last `n` grapheme clusters of `s`.
std::string graphemeSuffix(std::string_view s, std::size_t n);

// White space: space separators (Zs) and tab. Newlines: U+000A to U+000D, U+0085, U+2028, U+2029.
std::string trimWhitespace(std::string_view s);
std::string trimWhitespaceAndNewlines(std::string_view s);
// Punctuation (Unicode P*) and white space, not newlines.
std::string trimPunctuationAndWhitespace(std::string_view s);
// Spaces and tabs only.
std::string trimHorizontalSpace(std::string_view s);

// Pieces of `s` between runs of white space or newlines; no empty pieces.
std::vector<std::string> splitOnWhitespace(std::string_view s);

// Every occurrence of `from` replaced by `to` (left to right, not overlapping).
std::string replaceAll(std::string_view s, std::string_view from, std::string_view to);

}  // namespace qs::text
