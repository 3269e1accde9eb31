#include "claude/exchange.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "claude/reply_check.h"
#include "core/clock.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/system_log.h"

namespace qs::claude {

namespace fs = std::filesystem;

namespace {

std::string_view below(Exchange::Folder folder) {
  switch (folder) {
    case Exchange::Folder::kOutbox:
      return ".quillstone/claude/outbox";
    case Exchange::Folder::kInbox:
      return ".quillstone/claude/inbox";
    case Exchange::Folder::kIgnored:
      break;
  }
  return ".quillstone/claude/inbox/ignored";
}

// Appends the refusal's line to "log.txt" in the open folder `ignored`, never through a link;
// a log that isn't there yet is written whole. False when the line couldn't be written.
bool appendToLog(int ignored, const std::string& name, std::string_view reason) {
  const std::string line = refusalLine(wholeSecondsNow(), name, reason);
  int error = 0;
  if (file_io::appendAt(ignored, "log.txt", line, &error)) return true;
  // A log that isn't there, or is a link or something else than a file that another program put
  // there, is written anew; one that can't be written now keeps what it has (the host log still
  // has the line).
  if (error != ENOENT && error != ELOOP && error != EINVAL && error != EISDIR) return false;
  return file_io::writeAtomicallyAt(ignored, "log.txt", line, file_io::Durability::kFileOnly);
}

}  // namespace

std::string wholeSecondsNow() {
  std::string t = clock::iso8601UTCNow();  // 2025-03-01T09:30:00.123Z
  return t.substr(0, 19) + "Z";
}

bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

fs::path Exchange::path(Folder folder) const {
  const fs::path root = root_ ? root_() : fs::path();
  return root.empty() ? fs::path() : root / below(folder);
}

OpenedFolder Exchange::open(Folder folder, Missing missing) {
  const fs::path root = root_ ? root_() : fs::path();
  if (root.empty()) return OpenedFolder{UniqueFd(), ENOENT, {}};
  const std::string_view where = below(folder);
  OpenedFolder opened = openBelow(root, where, missing);
  if (opened.error == ELOOP) {
    if (linksSaid_.insert(opened.where).second) {
      systemLog("%s is a symbolic link; the assistant's files are never read or written through it",
                (root / opened.where).c_str());
    }
  } else if (opened.fd.valid()) {
    // Put right since: should the link come back, it is said again.
    std::erase_if(linksSaid_, [&](const std::string& link) {
      return where == link || where.starts_with(link + '/');
    });
  }
  return opened;
}

std::optional<std::vector<std::string>> Exchange::jsonNames(Folder folder) {
  OpenedFolder opened = open(folder, Missing::kFail);
  if (!opened.fd.valid()) return std::nullopt;  // not made yet, or not safe to read
  std::vector<std::string> names;
  const int listed = opened.fd.release();
  if (DIR* dir = ::fdopendir(listed)) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (fs::path(name).extension() == ".json") names.push_back(name);
    }
    ::closedir(dir);
  } else {
    ::close(listed);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::vector<std::string>> Exchange::replies() {
  auto names = jsonNames(Folder::kInbox);
  if (!names) return std::nullopt;
  std::erase_if(stuck_, [&](const auto& entry) {
    return !std::binary_search(names->begin(), names->end(), entry.first);
  });
  return names;
}

std::vector<std::string> Exchange::requests() {
  std::vector<std::string> ids;
  for (const auto& name : jsonNames(Folder::kOutbox).value_or(std::vector<std::string>{})) {
    std::string id = fs::path(name).stem().string();
    if (ids::isRequestID(id)) ids.push_back(std::move(id));
  }
  return ids;
}

std::set<std::string, std::less<>> Exchange::waiting() {
  std::set<std::string, std::less<>> ids;
  for (Folder folder : {Folder::kOutbox, Folder::kInbox}) {
    for (const auto& name : jsonNames(folder).value_or(std::vector<std::string>{})) {
      ids.insert(fs::path(name).stem().string());
    }
  }
  return ids;
}

std::optional<Exchange::Version> Exchange::versionAt(int folder, const std::string& name) {
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return Version{st.st_size, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec, st.st_ino};
}

Exchange::Entry Exchange::look(int inbox, const std::string& name) {
  const std::optional<Version> present = versionAt(inbox, name);
  if (!present) return Entry::kGone;
  if (auto stuck = stuck_.find(name); stuck != stuck_.end() && stuck->second.version == *present) {
    const Stuck again = stuck->second;
    setAside(name, again.reason, again.logged);
    return Entry::kSetAsideAgain;
  }
  return Entry::kNew;
}

void Exchange::setAside(const std::string& name, const std::string& reason, bool logged) {
  // Every step works relative to folders opened without following a link, so a reply, or an
  // "ignored" that is a link, can't make us move or write anything outside the inbox.
  const OpenedFolder inbox = open(Folder::kInbox, Missing::kFail);
  if (!inbox.fd.valid()) return;
  const OpenedFolder ignored = open(Folder::kIgnored, Missing::kCreate);
  if (ignored.fd.valid()) {
    // Only an empty folder is removed to make room.
    if (::unlinkat(ignored.fd.get(), name.c_str(), 0) != 0 && errno == EISDIR) {
      ::unlinkat(ignored.fd.get(), name.c_str(), AT_REMOVEDIR);
    }
    (void)file_io::renameAt(inbox.fd.get(), name, ignored.fd.get(), name);
    if (!logged) logged = appendToLog(ignored.fd.get(), name, reason);
  }
  if (auto still = versionAt(inbox.fd.get(), name)) {
    stuck_[name] = Stuck{*still, reason, logged};
  } else {
    stuck_.erase(name);
  }
}

}  // namespace qs::claude
