// The request file written for the page's question: given the page's request, the file's
// object or the refusal's exact words; and the document a request file's text names. Nothing
// here touches a file.
//
// Pure; callable from any thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/json.h"

namespace qs::claude {

// Request limits. The excerpt is capped in entries and in UTF-8 bytes of text, the ghost in
// characters (grapheme clusters).
inline constexpr std::size_t kMaxParagraphs = 200;
inline constexpr std::size_t kMaxParagraphBytes = 100'000;
inline constexpr std::size_t kGhostCharacters = 40;
inline constexpr std::size_t kMaxLinked = 200;
// Request files are ours, but they sit in a folder other programs can write to.
inline constexpr std::size_t kMaxRequestBytes = 32 * 1024 * 1024;

inline constexpr std::string_view kNoUsableId = "The request had no usable id.";
inline constexpr std::string_view kMissingParts =
    "The request was missing its document, thought or thread.";

struct RequestFile {
  std::string id;
  std::string doc;
  std::string thought;
  std::size_t thread = 0;      // entries written
  std::size_t paragraphs = 0;  // excerpt entries written
  json::object body;           // the file's object, to be written pretty with its keys sorted
};

// Checks the page's request and builds its file. `inbox` is the folder the reply is expected
// in, as its absolute path; `at` the time of writing, whole seconds in UTC.
std::variant<RequestFile, std::string> requestFile(const json::object& page,
                                                   const std::filesystem::path& inbox,
                                                   std::string_view at);

// Where the reply to the request `id` is expected: "replyTo" of its file.
std::string replyToOf(const std::filesystem::path& inbox, std::string_view id);

// The document id a request file's text names (its `doc` object's `id`); `text` is none when
// the file couldn't be read.
std::optional<std::string> requestDocOf(const std::optional<std::string>& text);

}  // namespace qs::claude
