// The page's request object in "claudeAsk": no request file unless it passes every check, and
// what is built is a whole request file within the limits, from which the document is read back.

#include "claude/request_file.h"
#include "core/ids.h"
#include "core/text.h"
#include "fuzz_target.h"

using namespace qs;

QS_FUZZ_TARGET(claude_ask) {
  const auto parsed = json::parse(input);
  if (!parsed || !parsed->is_object()) return;
  const json::object& request = parsed->get_object();
  const auto built = claude::requestFile(request, "/home/w/Writing/.quillstone/claude/inbox",
                                         "2025-03-01T09:30:00Z");
  if (const auto* refusal = std::get_if<std::string>(&built)) {
    QS_FUZZ_CHECK(*refusal == claude::kNoUsableId || *refusal == claude::kMissingParts,
                  "a request not built says why, in the page's words");
    return;
  }
  const claude::RequestFile& file = std::get<claude::RequestFile>(built);
  QS_FUZZ_CHECK(ids::isRequestID(file.id), "only a request id names a request file");
  const auto text = json::pretty(file.body);
  if (!text) return;  // the bridge says so to the page
  const auto reread = json::parse(*text);
  QS_FUZZ_CHECK(reread && reread->is_object(), "the request file is a JSON object");
  const json::object& out = reread->get_object();
  QS_FUZZ_CHECK(json::findString(out, "requestId") == std::optional<std::string_view>(file.id),
                "the file names its request");
  QS_FUZZ_CHECK(claude::requestDocOf(*text) == std::optional<std::string>(file.doc),
                "the document is read back from the file");
  QS_FUZZ_CHECK(json::findArray(out, "thread")->size() == file.thread &&
                    file.thread == json::findArray(request, "thread")->size(),
                "the whole thread is written");
  const json::array* excerpt = json::findArray(out, "paragraphs");
  QS_FUZZ_CHECK((excerpt ? excerpt->size() : 0) == file.paragraphs,
                "the excerpt is counted as written");
  if (excerpt) {
    std::size_t bytes = 0;
    for (const auto& p : *excerpt) bytes += json::findString(p.as_object(), "text")->size();
    QS_FUZZ_CHECK(excerpt->size() <= claude::kMaxParagraphs && bytes <= claude::kMaxParagraphBytes,
                  "the excerpt keeps its limits");
  }
  if (const json::array* linked = json::findArray(out, "linked")) {
    QS_FUZZ_CHECK(linked->size() <= claude::kMaxLinked, "at most 200 linked");
  }
  if (auto ghost = json::findString(out, "ghost")) {
    QS_FUZZ_CHECK(text::graphemeCount(*ghost) <= claude::kGhostCharacters,
                  "the ghost keeps at most 40 characters");
  }
}
