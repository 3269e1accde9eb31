// The check of a reply file from the Claude Code session: given its text and what its request
// says, the reply as it goes to a page, or the refusal's exact words. Also the line a refusal
// leaves in "ignored/log.txt". Nothing here touches a file.
//
// Pure; callable from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/json.h"

namespace qs::claude {

// Reply limits, in characters.
inline constexpr std::size_t kMaxPlacements = 50;
inline constexpr std::size_t kMaxPlacementBullets = 10;
inline constexpr std::size_t kMaxBullets = 20;
inline constexpr std::size_t kMaxBulletCharacters = 2000;
inline constexpr std::size_t kMaxParagraphIdCharacters = 64;
inline constexpr std::size_t kFromCharacters = 120;

// A reply larger than this, or nested deeper, is refused as not JSON. A real reply is a few
// kilobytes and four levels deep; the limits only keep a hostile file from costing much.
inline constexpr std::size_t kMaxReplyBytes = 8 * 1024 * 1024;
inline constexpr std::size_t kMaxReplyDepth = 512;

// Refusals decided by the folders rather than by the reply's text.
inline constexpr std::string_view kNotARequestId = "its name isn't a request id";
inline constexpr std::string_view kNoRequestWaiting =
    "no request is waiting for it (never sent, cancelled, or already answered)";
inline constexpr std::string_view kPageRefused =
    "the page didn't take it (no thought or document knows this request)";

// A reply that passed every check.
struct Reply {
  json::array bullets;
  std::string from;      // at most kFromCharacters
  json::object options;  // "empty": true, "placements": [{paragraphId, bullets}] when any
  std::size_t placements = 0;
  bool empty = false;
  bool operator==(const Reply&) const = default;
};

// Checks the reply to the request `id`. `text` is none when the file couldn't be read as a
// regular file of at most kMaxReplyBytes; `requestDoc` is its request's document id.
std::variant<Reply, std::string> checkReply(std::string_view id,
                                            const std::optional<std::string>& text,
                                            const std::optional<std::string>& requestDoc);

// A file's text as one JSON object, as the exchange reads every file another program can
// write: UTF-8 only, a leading byte order mark passed over, nested at most kMaxReplyDepth.
std::optional<json::object> readObject(const std::optional<std::string>& text);

// `v` when it is a list holding only objects; else null.
const json::array* objectList(const json::value* v);

// A file name as it may appear on one log line: control characters, bidirectional controls,
// backslashes and bytes that aren't UTF-8 are escaped, so a hostile name can't break a line,
// disguise itself or spoil the log's encoding.
std::string printableName(std::string_view name);

// The line a refusal appends to "ignored/log.txt"; `at` is the time in whole seconds.
std::string refusalLine(std::string_view at, std::string_view name, std::string_view reason);

}  // namespace qs::claude
