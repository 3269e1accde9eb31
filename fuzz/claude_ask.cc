// The page's request object in "claudeAsk": nothing is written unless it passes every check,
// and what is written is a whole request file within the limits, which the bridge reads back.

#include "app/prefs.h"
#include "claude/claude_bridge.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/text.h"
#include "fuzz_target.h"

using namespace qs;
namespace fs = std::filesystem;

namespace {

struct NoWindows : claude::ReplyTargets {
  std::shared_ptr<claude::ReplyTarget> targetFor(const std::optional<std::string>&) override {
    return nullptr;
  }
};

}  // namespace

QS_FUZZ_TARGET(claude_ask) {
  static fuzz::Scratch scratch;
  const auto parsed = json::parse(input);
  if (!parsed || !parsed->is_object()) return;
  const json::object& request = parsed->get_object();
  const fs::path dir = scratch.fresh();
  const fs::path root = dir / "Writing";
  const fs::path outbox = root / ".quillstone/claude/outbox";
  std::error_code ec;
  fs::create_directories(root, ec);

  Prefs prefs(dir / "settings.json");
  NoWindows windows;
  claude::ClaudeBridge bridge([root] { return root; }, prefs, nullptr, windows);
  bridge.setEnabled(true);
  const auto [sent, message] = bridge.ask(request);
  const auto written = fuzz::namesIn(outbox);
  if (!sent) {
    QS_FUZZ_CHECK(message && !message->empty(), "a request not sent says why");
    QS_FUZZ_CHECK(written.empty(), "a request not sent leaves nothing behind");
    return;
  }

  const std::string id(*json::find_string(request, "requestId"));
  QS_FUZZ_CHECK(ids::is_request_id(id), "only a request id names a request file");
  QS_FUZZ_CHECK(written == std::vector<std::string>{id + ".json"}, "one file, whole, is written");
  const auto text = file_io::read_file(outbox / written[0]);
  const auto file = text ? json::parse(*text) : std::nullopt;
  QS_FUZZ_CHECK(file && file->is_object(), "the request file is a JSON object");
  const json::object& out = file->get_object();
  QS_FUZZ_CHECK(json::find_string(out, "requestId") == std::optional<std::string_view>(id),
                "the file names its request");
  const auto docId = json::find_string(*json::find_object(request, "doc"), "id");
  QS_FUZZ_CHECK(bridge.requestDoc(outbox / written[0]) == std::optional<std::string>(*docId),
                "the bridge reads the document back from the file");
  QS_FUZZ_CHECK(
      json::find_array(out, "thread")->size() == json::find_array(request, "thread")->size(),
      "the whole thread is written");
  if (const json::array* excerpt = json::find_array(out, "paragraphs")) {
    std::size_t bytes = 0;
    for (const auto& p : *excerpt) bytes += json::find_string(p.as_object(), "text")->size();
    QS_FUZZ_CHECK(excerpt->size() <= claude::kMaxParagraphs && bytes <= claude::kMaxParagraphBytes,
                  "the excerpt keeps its limits");
  }
  if (const json::array* linked = json::find_array(out, "linked")) {
    QS_FUZZ_CHECK(linked->size() <= claude::kMaxLinked, "at most 200 linked");
  }
  if (auto ghost = json::find_string(out, "ghost")) {
    QS_FUZZ_CHECK(text::grapheme_count(*ghost) <= claude::kGhostCharacters,
                  "the ghost keeps at most 40 characters");
  }

  QS_FUZZ_CHECK(bridge.cancel(id) && fuzz::namesIn(outbox).empty(),
                "cancelling removes the request");
}
