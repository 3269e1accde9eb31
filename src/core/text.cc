#include "core/text.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>

namespace qs::text {

namespace {

enum class Trim { kWhitespace, kWhitespaceAndNewlines, kPunctuationAndWhitespace, kHorizontal };

bool isNewline(UChar32 c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespace(UChar32 c) {
  return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR;
}

bool isPunctuation(UChar32 c) {
  switch (u_charType(c)) {
    case U_DASH_PUNCTUATION:
    case U_START_PUNCTUATION:
    case U_END_PUNCTUATION:
    case U_CONNECTOR_PUNCTUATION:
    case U_OTHER_PUNCTUATION:
    case U_INITIAL_PUNCTUATION:
    case U_FINAL_PUNCTUATION:
      return true;
    default:
      return false;
  }
}

bool trimmed(UChar32 c, Trim how) {
  switch (how) {
    case Trim::kWhitespace:
      return isWhitespace(c);
    case Trim::kWhitespaceAndNewlines:
      return isWhitespace(c) || isNewline(c);
    case Trim::kPunctuationAndWhitespace:
      return isWhitespace(c) || isPunctuation(c);
    case Trim::kHorizontal:
      return c == ' ' || c == '\t';
  }
  return false;
}

// Decodes one code point at `i`; invalid sequences decode as a negative value of one byte.
UChar32 next(std::string_view s, int32_t& i) {
  UChar32 c;
  U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, static_cast<int32_t>(s.size()), c);
  return c;
}

std::string trim(std::string_view s, Trim how) {
  int32_t begin = 0;
  const auto size = static_cast<int32_t>(s.size());
  while (begin < size) {
    int32_t i = begin;
    UChar32 c = next(s, i);
    if (c < 0 || !trimmed(c, how)) break;
    begin = i;
  }
  int32_t end = size;
  while (end > begin) {
    int32_t i = end;
    UChar32 c;
    U8_PREV(reinterpret_cast<const uint8_t*>(s.data()), begin, i, c);
    if (c < 0 || !trimmed(c, how)) break;
    end = i;
  }
  return std::string(
      s.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

// Byte offsets of grapheme cluster boundaries, from 0 to s.size().
std::vector<std::size_t> graphemeBoundaries(std::string_view s) {
  std::vector<std::size_t> out;
  icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) {
    for (std::size_t i = 0; i <= s.size(); ++i) out.push_back(i);
    return out;
  }
  it->setText(u);
  // Map UTF-16 offsets back to UTF-8 offsets by walking both in step.
  std::vector<int32_t> utf16_at_byte;
  std::vector<std::size_t> byte_at_utf16(static_cast<std::size_t>(u.length()) + 1, s.size());
  {
    int32_t byte = 0, unit = 0;
    const auto size = static_cast<int32_t>(s.size());
    while (byte < size) {
      int32_t start = byte;
      UChar32 c = next(s, byte);
      if (c < 0) c = 0xFFFD;
      byte_at_utf16[static_cast<std::size_t>(unit)] = static_cast<std::size_t>(start);
      unit += U16_LENGTH(c);
    }
    byte_at_utf16[static_cast<std::size_t>(u.length())] = s.size();
  }
  for (int32_t b = it->first(); b != icu::BreakIterator::DONE; b = it->next()) {
    out.push_back(byte_at_utf16[static_cast<std::size_t>(b)]);
  }
  if (out.empty() || out.front() != 0) out.insert(out.begin(), 0);
  if (out.back() != s.size()) out.push_back(s.size());
  return out;
}

}  // namespace

bool isValidUTF8(std::string_view s) {
  int32_t i = 0;
  const auto size = static_cast<int32_t>(s.size());
  if (s.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  while (i < size) {
    if (next(s, i) < 0) return false;
  }
  return true;
}

std::string makeValidUTF8(std::string_view s) {
  if (isValidUTF8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  const auto size = static_cast<int32_t>(s.size());
  int32_t i = 0;
  while (i < size) {
    const int32_t start = i;
    if (next(s, i) < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
  }
  return out;
}

std::size_t graphemeCount(std::string_view s) {
  if (s.empty()) return 0;
  return graphemeBoundaries(s).size() - 1;
}

std::string graphemePrefix(std::string_view s, std::size_t n) {
  auto b = graphemeBoundaries(s);
  if (n + 1 >= b.size()) return std::string(s);
  return std::string(s.substr(0, b[n]));
}

std::string graphemeSuffix(std::string_view s, std::size_t n) {
  auto b = graphemeBoundaries(s);
  if (n + 1 >= b.size()) return std::string(s);
  return std::string(s.substr(b[b.size() - 1 - n]));
}

std::string trimWhitespace(std::string_view s) {
  return trim(s, Trim::kWhitespace);
}
std::string trimWhitespaceAndNewlines(std::string_view s) {
  return trim(s, Trim::kWhitespaceAndNewlines);
}
std::string trimPunctuationAndWhitespace(std::string_view s) {
  return trim(s, Trim::kPunctuationAndWhitespace);
}
std::string trimHorizontalSpace(std::string_view s) {
  return trim(s, Trim::kHorizontal);
}

std::vector<std::string> splitOnWhitespace(std::string_view s) {
  std::vector<std::string> pieces;
  const auto size = static_cast<int32_t>(s.size());
  int32_t i = 0, start = 0;
  while (i < size) {
    int32_t at = i;
    UChar32 c = next(s, i);
    if (c >= 0 && (isWhitespace(c) || isNewline(c))) {
      if (at > start)
        pieces.emplace_back(
            s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(at - start)));
      start = i;
    }
  }
  if (size > start) pieces.emplace_back(s.substr(static_cast<std::size_t>(start)));
  return pieces;
}

std::string replaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  while (true) {
    std::size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

}  // namespace qs::text
