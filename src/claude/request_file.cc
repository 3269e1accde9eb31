#include "claude/request_file.h"

#include <algorithm>

#include "claude/reply_check.h"
#include "core/ids.h"
#include "core/text.h"

namespace qs::claude {

namespace fs = std::filesystem;

namespace {

std::string stringOr(const json::object& o, std::string_view key, std::string_view fallback) {
  return std::string(json::findString(o, key).value_or(fallback));
}

// The document excerpt, cut at kMaxParagraphs entries, kMaxParagraphBytes of text or the first
// entry without an id; `truncated` is set where it is cut.
json::array excerptOf(const json::array& list, bool& truncated) {
  json::array excerpt;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const json::object& entry = list[i].get_object();
    const auto paragraphId = json::findString(entry, "id");
    if (i == kMaxParagraphs || entry.empty() || !paragraphId) {
      truncated = true;
      break;
    }
    const std::string_view text = json::findString(entry, "text").value_or("");
    bytes += text.size();
    if (bytes > kMaxParagraphBytes) {
      truncated = true;
      break;
    }
    const json::value* index = json::find(entry, "index");
    excerpt.push_back(json::object{
        {"id", *paragraphId}, {"index", index ? *index : json::value(i + 1)}, {"text", text}});
  }
  return excerpt;
}

// The first kMaxLinked entries of the page's linked documents, those with an id.
json::array linkedOf(const json::array& list) {
  json::array linked;
  const std::size_t looked = std::min(list.size(), kMaxLinked);
  for (std::size_t i = 0; i < looked; ++i) {
    const json::object& entry = list[i].get_object();
    if (auto linkedId = json::findString(entry, "id")) {
      linked.push_back(json::object{{"id", *linkedId}, {"title", stringOr(entry, "title", "")}});
    }
  }
  return linked;
}

// What the question reads, and the document around it: "reads", "ghost", "paragraphs",
// "linked", "truncated" and "paragraph". Returns the number of excerpt entries written.
std::size_t addContext(const json::object& page, json::object& out) {
  if (auto ghost = json::findString(page, "ghost"); ghost && !ghost->empty()) {
    out["ghost"] = text::graphemePrefix(*ghost, kGhostCharacters);
  }
  std::string reads;
  if (auto r = json::findString(page, "reads");
      r && (*r == "para" || *r == "doc" || *r == "linked")) {
    reads = *r;
    out["reads"] = reads;
  }
  const json::value* pageTruncated = json::find(page, "truncated");
  bool truncated = pageTruncated && pageTruncated->is_bool() && pageTruncated->get_bool();

  std::size_t written = 0;
  if (const json::array* list = objectList(json::find(page, "paragraphs"));
      list && reads != "para") {
    json::array excerpt = excerptOf(*list, truncated);
    written = excerpt.size();
    out["paragraphs"] = std::move(excerpt);
  }
  if (reads == "linked") {
    if (const json::array* list = objectList(json::find(page, "linked"))) {
      out["linked"] = linkedOf(*list);
    }
  }
  if (truncated) out["truncated"] = true;

  if (const json::object* paragraph = json::findObject(page, "paragraph")) {
    const json::value* index = json::find(*paragraph, "index");
    out["paragraph"] = json::object{{"id", stringOr(*paragraph, "id", "")},
                                    {"index", index ? *index : json::value(nullptr)},
                                    {"text", stringOr(*paragraph, "text", "")}};
  }
  return written;
}

}  // namespace

std::variant<RequestFile, std::string> requestFile(const json::object& page, const fs::path& inbox,
                                                   std::string_view at) {
  const auto requestId = json::findString(page, "requestId");
  if (!requestId || !ids::isRequestID(*requestId)) return std::string(kNoUsableId);

  const json::object* doc = json::findObject(page, "doc");
  const json::object* thought = json::findObject(page, "thought");
  const json::array* thread = objectList(json::find(page, "thread"));
  const auto docId = doc ? json::findString(*doc, "id") : std::nullopt;
  const auto thoughtId = thought ? json::findString(*thought, "id") : std::nullopt;
  if (!docId || !thoughtId || !thread || thread->empty()) return std::string(kMissingParts);

  RequestFile file;
  file.id = *requestId;
  file.doc = *docId;
  file.thought = *thoughtId;
  file.thread = thread->size();
  json::object& out = file.body;
  out["v"] = 1;
  out["requestId"] = file.id;
  out["at"] = at;
  out["doc"] = json::object{{"id", file.doc}, {"title", stringOr(*doc, "title", "")}};
  out["thought"] = json::object{{"id", file.thought}};
  json::array entries;
  for (const auto& e : *thread) {
    const json::object& entry = e.get_object();
    entries.push_back(json::object{{"id", stringOr(entry, "id", "")},
                                   {"who", stringOr(entry, "who", "writer")},
                                   {"text", stringOr(entry, "text", "")}});
  }
  out["thread"] = std::move(entries);
  out["replyTo"] = replyToOf(inbox, file.id);
  file.paragraphs = addContext(page, out);
  return file;
}

std::string replyToOf(const fs::path& inbox, std::string_view id) {
  return (inbox.lexically_normal() / (std::string(id) + ".json")).string();
}

std::optional<std::string> requestDocOf(const std::optional<std::string>& text) {
  const auto object = readObject(text);
  if (!object) return std::nullopt;
  const json::object* doc = json::findObject(*object, "doc");
  if (!doc) return std::nullopt;
  if (auto id = json::findString(*doc, "id")) return std::string(*id);
  return std::nullopt;
}

}  // namespace qs::claude
