#include "claude/own_requests.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "claude/exchange_folders.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/json.h"

namespace qs::claude {

namespace fs = std::filesystem;

namespace {

// A record is a few hundred ids; anything much larger isn't one of ours.
constexpr std::size_t kLargestRecord = 1024 * 1024;

std::optional<std::vector<std::string>> readRecord(const fs::path& file) {
  const auto text = file_io::readFileLimited(file, kLargestRecord);
  const auto parsed = text ? json::parse(*text) : std::nullopt;
  const json::array* list =
      parsed && parsed->is_object() ? json::findArray(parsed->get_object(), "requests") : nullptr;
  if (!list) return std::nullopt;
  std::vector<std::string> ids;
  for (const auto& e : *list) {
    if (e.is_string() && ids::isRequestID(e.get_string())) ids.emplace_back(e.get_string());
  }
  return ids;
}

}  // namespace

std::vector<std::string> recordAfter(std::vector<std::string> ids, const std::string& id,
                                     const IdSet& waiting, std::size_t kept) {
  std::erase(ids, id);
  ids.push_back(id);
  if (ids.size() <= kept) return ids;
  const std::size_t older = ids.size() - kept;
  std::vector<std::string> out;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i >= older || waiting.contains(ids[i])) out.push_back(std::move(ids[i]));
  }
  return out;
}

OwnRequests::OwnRequests(fs::path support, std::function<std::vector<std::string>()> before)
    : file_(std::move(support) / kFileName), before_(std::move(before)) {}

std::optional<OwnRequests::Version> OwnRequests::versionOf(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return Version{st.st_size, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec, st.st_ino};
}

void OwnRequests::refresh() {
  if (const auto now = versionOf(file_)) {
    if (loaded_ == now) return;
    if (auto ids = readRecord(file_)) {
      ids_ = std::move(*ids);
      loaded_ = now;
      return;
    }
  }
  // No record (or a spoilt one): the first run of a version that keeps one. The requests left
  // from before still count as ours, so that their replies come; the record starts with them.
  ids_ = before_ ? before_() : std::vector<std::string>{};
  (void)write(ids_, nullptr);  // unwritten, they are found again next time
}

bool OwnRequests::contains(std::string_view id) {
  refresh();
  return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
}

bool OwnRequests::add(const std::string& id, const IdSet& waiting, int* error) {
  refresh();
  std::vector<std::string> ids = recordAfter(ids_, id, waiting, kKept);
  if (!write(ids, error)) return false;
  ids_ = std::move(ids);
  return true;
}

void OwnRequests::start() {
  struct stat st {};
  if (::lstat(file_.c_str(), &st) == 0 || errno != ENOENT) return;
  ids_.clear();
  (void)write(ids_, nullptr);
}

bool OwnRequests::write(const std::vector<std::string>& ids, int* error) {
  const auto text =
      json::pretty(json::object{{"v", 1}, {"requests", json::array(ids.begin(), ids.end())}});
  (void)file_io::createFolders(file_.parent_path());  // a failure shows in the open below
  const UniqueFd folder(::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int failed = folder.valid() ? EINVAL : errno;
  if (text && folder.valid() &&
      file_io::writeAtomicallyAt(folder.get(), file_.filename().string(), *text,
                                 file_io::Durability::kSurvivesCrash, &failed)) {
    loaded_ = versionOf(file_);
    return true;
  }
  if (error) *error = failed;
  return false;
}

}  // namespace qs::claude
