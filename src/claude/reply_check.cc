#include "claude/reply_check.h"

#include <cstdio>

#include "core/text.h"

namespace qs::claude {

namespace {

constexpr std::string_view kNotJSON = "it isn't JSON";
constexpr std::string_view kNotVersion1 = "it isn't version 1";
constexpr std::string_view kRequestIdMismatch = "its requestId doesn't match its name";
constexpr std::string_view kPlacementsNotAList = "placements isn't a list";
constexpr std::string_view kNoParagraphId = "a placement has no paragraphId";
constexpr std::string_view kPlacementNamesAnotherDocument = "a placement names another document";
constexpr std::string_view kNoBullets = "it has no bullets (send \"empty\": true for no answer)";

// The reasons that carry a limit are built from it, so the text can't drift from the check.
std::string moreThanPlacements() {
  return "more than " + std::to_string(kMaxPlacements) + " placements";
}
std::string placementBulletCount() {
  return "a placement needs 1 to " + std::to_string(kMaxPlacementBullets) + " bullets";
}
std::string placementBulletTooLong() {
  return "a placement's bullet is longer than " + std::to_string(kMaxBulletCharacters) +
         " characters";
}
std::string moreThanBullets() {
  return "more than " + std::to_string(kMaxBullets) + " bullets";
}
std::string bulletTooLong() {
  return "a bullet is longer than " + std::to_string(kMaxBulletCharacters) + " characters";
}

// Whether `s` has at most `limit` characters; short texts need no segmentation.
bool atMostCharacters(std::string_view s, std::size_t limit) {
  return s.size() <= limit || text::graphemeCount(s) <= limit;
}

// `v` when it is a list whose entries all pass `kind`.
template <typename Kind>
const json::array* listOf(const json::value* v, Kind kind) {
  const json::array* list = v ? v->if_array() : nullptr;
  if (!list) return nullptr;
  for (const auto& e : *list) {
    if (!kind(e)) return nullptr;
  }
  return list;
}

const json::array* stringList(const json::value* v) {
  return listOf(v, [](const json::value& e) { return e.is_string(); });
}

// The reply's placements, each kept as {paragraphId, bullets}, or the refusal's words.
std::variant<json::array, std::string> checkPlacements(const json::value& member,
                                                       const std::optional<std::string>& doc) {
  const json::array* list = objectList(&member);
  if (!list) return std::string(kPlacementsNotAList);
  if (list->size() > kMaxPlacements) return moreThanPlacements();
  json::array placements;
  for (const auto& p : *list) {
    const json::object& placement = p.get_object();
    const auto paragraphId = json::findString(placement, "paragraphId");
    if (!paragraphId || paragraphId->empty() ||
        !atMostCharacters(*paragraphId, kMaxParagraphIdCharacters)) {
      return std::string(kNoParagraphId);
    }
    const json::array* bullets = stringList(json::find(placement, "bullets"));
    if (!bullets || bullets->empty() || bullets->size() > kMaxPlacementBullets) {
      return placementBulletCount();
    }
    for (const auto& b : *bullets) {
      if (!atMostCharacters(b.get_string(), kMaxBulletCharacters)) return placementBulletTooLong();
    }
    if (const json::value* docId = json::find(placement, "docId")) {
      std::optional<std::string> named;
      if (docId->is_string()) named = std::string(docId->get_string());
      if (named != doc) return std::string(kPlacementNamesAnotherDocument);
    }
    placements.push_back(json::object{{"paragraphId", *paragraphId}, {"bullets", *bullets}});
  }
  return placements;
}

// C1 controls, and the characters that break a line or turn the text around where they stand
// (bidirectional marks, embeddings, overrides and isolates) though nothing shows them.
bool isHiddenControl(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
         code == 0x2028 || code == 0x2029 || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

const json::array* objectList(const json::value* v) {
  return listOf(v, [](const json::value& e) { return e.is_object(); });
}

std::optional<json::object> readObject(const std::optional<std::string>& text) {
  if (!text || !text::isValidUTF8(*text)) return std::nullopt;
  std::string_view body = *text;
  // Some editors start UTF-8 with a byte order mark; JSON has no place for it.
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  auto v = json::parse(body, kMaxReplyDepth);
  if (!v || !v->is_object()) return std::nullopt;
  return std::move(v->get_object());
}

std::variant<Reply, std::string> checkReply(std::string_view id,
                                            const std::optional<std::string>& text,
                                            const std::optional<std::string>& requestDoc) {
  const auto parsed = readObject(text);
  if (!parsed) return std::string(kNotJSON);
  const json::object& body = *parsed;

  const json::value* version = json::find(body, "v");
  if (!version || json::asNumber(*version) != 1.0) return std::string(kNotVersion1);
  if (json::findString(body, "requestId") != std::optional<std::string_view>(id)) {
    return std::string(kRequestIdMismatch);
  }
  Reply reply;
  const json::value* emptyMember = json::find(body, "empty");
  reply.empty = emptyMember && emptyMember->is_bool() && emptyMember->get_bool();

  json::array placements;
  if (const json::value* member = json::find(body, "placements")) {
    auto checked = checkPlacements(*member, requestDoc);
    if (auto* refusal = std::get_if<std::string>(&checked)) return std::move(*refusal);
    placements = std::move(std::get<json::array>(checked));
  }

  if (const json::array* list = stringList(json::find(body, "bullets"))) {
    reply.bullets = *list;
  } else if (placements.empty()) {
    return std::string(kNoBullets);  // even with "empty": the session must send an empty list
  }
  if (reply.bullets.empty() && !reply.empty && placements.empty()) return std::string(kNoBullets);
  if (reply.bullets.size() > kMaxBullets) return moreThanBullets();
  for (const auto& b : reply.bullets) {
    if (!atMostCharacters(b.get_string(), kMaxBulletCharacters)) return bulletTooLong();
  }

  reply.from =
      text::graphemePrefix(json::findString(body, "from").value_or("Claude"), kFromCharacters);
  if (reply.empty) reply.options["empty"] = true;
  reply.placements = placements.size();
  if (!placements.empty()) reply.options["placements"] = std::move(placements);
  return reply;
}

std::string printableName(std::string_view s) {
  std::string out;
  char escape[8];
  auto hex = [&](unsigned value, const char* form) {
    std::snprintf(escape, sizeof escape, form, value);
    out += escape;
  };
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c == '\\') {
        out += "\\\\";
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c < 0x20 || c == 0x7F) {
        hex(c, "\\x%02X");
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const std::size_t length = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length > 0 && i + length <= s.size() && text::isValidUTF8(s.substr(i, length))) {
      char32_t code = c & (0x7F >> length);
      for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (s[i + k] & 0x3F);
      if (isHiddenControl(code)) {
        hex(static_cast<unsigned>(code), "\\u%04X");
      } else {
        out.append(s.substr(i, length));
      }
      i += length;
      continue;
    }
    hex(c, "\\x%02X");
    ++i;
  }
  return out;
}

std::string refusalLine(std::string_view at, std::string_view name, std::string_view reason) {
  return std::string(at) + "  " + printableName(name) + "  " + std::string(reason) + "\n";
}

}  // namespace qs::claude
