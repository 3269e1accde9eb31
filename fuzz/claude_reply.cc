// A reply file from the Claude Code session, as another program may write it: its bytes, the
// request file it answers (also in a folder others can write to) and the reply file's name.
// Input: reply, request and name, cut at "\n--\n". A reply that passes goes to a page within
// the limits; a refusal's line in "ignored/log.txt" stays one line of UTF-8, whatever the name.

#include "claude/reply_check.h"
#include "claude/request_file.h"
#include "core/ids.h"
#include "core/text.h"
#include "fuzz_target.h"

using namespace qs;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kId = "r-0123abcd-4567-89ab-cdef-0123456789ab";

// A name another program could give a file: one component, shorter than the system's limit.
std::string fileNameFrom(std::string_view given) {
  std::string name;
  for (char c : given.substr(0, 200)) {
    if (c != '/' && c != '\0') name.push_back(c);
  }
  if (name.empty() || name == "." || name == "..") return std::string(kId) + ".json";
  return name;
}

bool withinCharacters(const json::value& v, std::size_t limit) {
  return v.is_string() && text::graphemeCount(v.get_string()) <= limit;
}

void checkHandedOn(const claude::Reply& reply) {
  QS_FUZZ_CHECK(reply.bullets.size() <= claude::kMaxBullets, "at most 20 bullets");
  for (const auto& b : reply.bullets) {
    QS_FUZZ_CHECK(withinCharacters(b, claude::kMaxBulletCharacters),
                  "each bullet is text of at most 2000 characters");
  }
  QS_FUZZ_CHECK(text::graphemeCount(reply.from) <= claude::kFromCharacters,
                "\"from\" is at most 120 characters");
  const json::array* placements = json::findArray(reply.options, "placements");
  QS_FUZZ_CHECK((placements ? placements->size() : 0) == reply.placements &&
                    reply.placements <= claude::kMaxPlacements,
                "at most 50 placements, all counted");
  for (const auto& p : placements ? *placements : json::array{}) {
    const json::object& placement = p.as_object();
    QS_FUZZ_CHECK(placement.size() == 2 && withinCharacters(placement.at("paragraphId"),
                                                            claude::kMaxParagraphIdCharacters),
                  "a placement keeps its paragraph id and its bullets alone");
    const json::array& bullets = placement.at("bullets").as_array();
    QS_FUZZ_CHECK(!bullets.empty() && bullets.size() <= claude::kMaxPlacementBullets,
                  "a placement has 1 to 10 bullets");
  }
  QS_FUZZ_CHECK(reply.options.contains("empty") == reply.empty, "\"empty\" is passed on");
  QS_FUZZ_CHECK(!reply.bullets.empty() || reply.empty || reply.placements > 0,
                "a reply handed on says something, or says it has nothing");
}

}  // namespace

QS_FUZZ_TARGET(claude_reply) {
  const auto part = fuzz::pieces(input, 3);
  const std::string name = fileNameFrom(part[2]);

  // Whatever the name, its refusal is one line of UTF-8 in the log.
  const std::string line = claude::refusalLine("2025-03-01T09:30:00Z", name, "it isn't JSON");
  QS_FUZZ_CHECK(text::isValidUTF8(line), "the refusal log is UTF-8");
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    QS_FUZZ_CHECK(c >= 0x20 || (c == '\n' && i + 1 == line.size()),
                  "a refusal's line holds no control characters and ends the line");
  }

  const std::string id = fs::path(name).stem().string();
  if (!ids::isRequestID(id)) return;  // refused by its name before anything is read
  const auto doc =
      claude::requestDocOf(part[1].empty() ? std::nullopt : std::optional(std::string(part[1])));
  const auto checked = claude::checkReply(id, std::string(part[0]), doc);
  if (const auto* refusal = std::get_if<std::string>(&checked)) {
    QS_FUZZ_CHECK(!refusal->empty() && refusal->find('\n') == std::string::npos,
                  "a refusal says why on one line");
    return;
  }
  checkHandedOn(std::get<claude::Reply>(checked));
}
