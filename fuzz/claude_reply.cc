// A reply file from the Claude Code session, as another program may write it: its bytes, the
// request file beside it (also in a folder others can write to), the reply file's name, and
// what the page answers. Input: reply, request, answer and name, cut at "\n--\n". The answer's
// first character: "y" the page takes it, "n" it doesn't know the request, "w" no answer yet,
// "u" the page hasn't loaded, "x" no window at all.

#include <dirent.h>

#include "app/prefs.h"
#include "bridge/host_log.h"
#include "claude/claude_bridge.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/text.h"
#include "fuzz_target.h"

using namespace qs;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kId = "r-0123abcd-4567-89ab-cdef-0123456789ab";

struct Page : claude::ReplyTarget {
  bool isLoaded = true;
  std::vector<std::function<void(std::optional<bool>)>> answers;
  bool loaded() const override { return isLoaded; }
  void claudeReply(std::string id, json::array bullets, std::string from, json::object options,
                   std::function<void(std::optional<bool>)> then) override {
    QS_FUZZ_CHECK(ids::is_request_id(id), "a reply handed on is for a request");
    QS_FUZZ_CHECK(bullets.size() <= claude::kMaxBullets, "at most 20 bullets");
    for (const auto& b : bullets) {
      QS_FUZZ_CHECK(
          b.is_string() && text::grapheme_count(b.get_string()) <= claude::kMaxBulletCharacters,
          "each bullet is text of at most 2000 characters");
    }
    QS_FUZZ_CHECK(text::grapheme_count(from) <= claude::kFromCharacters,
                  "\"from\" is at most 120 characters");
    if (const json::array* placements = json::find_array(options, "placements")) {
      QS_FUZZ_CHECK(placements->size() <= claude::kMaxPlacements, "at most 50 placements");
    }
    QS_FUZZ_CHECK(!bullets.empty() || options.contains("empty") || options.contains("placements"),
                  "a reply handed on says something, or says it has nothing");
    answers.push_back(std::move(then));
  }
};

struct Windows : claude::ReplyTargets {
  std::shared_ptr<Page> page = std::make_shared<Page>();
  bool none = false;
  std::shared_ptr<claude::ReplyTarget> targetFor(const std::optional<std::string>&) override {
    return none ? nullptr : page;
  }
};

// A name another program could give a file: one component, shorter than the system's limit.
std::string fileNameFrom(std::string_view given) {
  std::string name;
  for (char c : given.substr(0, 200)) {
    if (c != '/' && c != '\0') name.push_back(c);
  }
  if (name.empty() || name == "." || name == "..") return std::string(kId) + ".json";
  return name;
}

}  // namespace

QS_FUZZ_TARGET(claude_reply) {
  static fuzz::Scratch scratch;
  const auto part = fuzz::pieces(input, 4);
  const fs::path dir = scratch.fresh();
  const fs::path root = dir / "Writing";
  const fs::path inbox = root / ".quillstone/claude/inbox";
  const fs::path ignored = inbox / "ignored";
  const std::string name = fileNameFrom(part[3]);
  fuzz::writeFile(inbox / name, part[0]);
  if (!part[1].empty()) fuzz::writeFile(root / ".quillstone/claude/outbox" / name, part[1]);

  Prefs prefs(dir / "settings.json");
  InlineSerialQueue queue;
  HostLog log(dir / "host-log.txt", queue);
  Windows windows;
  const char answer = part[2].empty() ? 'y' : part[2][0];
  windows.none = answer == 'x';
  windows.page->isLoaded = answer != 'u';
  claude::ClaudeBridge bridge([root] { return root; }, prefs, &log, windows);
  bridge.setEnabled(true);

  for (int pass = 0; pass < 2; ++pass) {
    bridge.processInbox();
    auto answers = std::move(windows.page->answers);
    for (auto& then : answers) {
      then(answer == 'y'   ? std::optional(true)
           : answer == 'n' ? std::optional(false)
                           : std::nullopt);
    }
  }

  // Every reply set aside has its line in the log there, and the log's lines are lines: no
  // name can break one or spoil its encoding.
  std::size_t set_aside = 0;
  for (const auto& entry : fuzz::namesIn(ignored)) set_aside += entry != "log.txt";
  std::string lines;
  if (auto bytes = file_io::read_file(ignored / "log.txt")) lines = *bytes;
  QS_FUZZ_CHECK(text::is_valid_utf8(lines), "the refusal log is UTF-8");
  std::size_t count = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto c = static_cast<unsigned char>(lines[i]);
    if (c == '\n') ++count;
    QS_FUZZ_CHECK(c >= 0x20 || c == '\n', "a refusal's line holds no control characters");
  }
  QS_FUZZ_CHECK(lines.empty() || lines.back() == '\n', "the refusal log ends a line");
  QS_FUZZ_CHECK(count == set_aside, "one line in the refusal log for each reply set aside");

  const bool inInbox = fs::exists(fs::symlink_status(inbox / name));
  const bool aside = fs::exists(fs::symlink_status(ignored / name));
  if (fs::path(name).extension() == ".json" && name != "ignored") {
    QS_FUZZ_CHECK(!(inInbox && aside), "a reply is in one place");
    if (answer == 'y' && !aside) QS_FUZZ_CHECK(!inInbox, "a reply taken is gone");
  } else {
    QS_FUZZ_CHECK(inInbox, "a file that isn't a reply is left alone");
  }
}
