#include "library/package_folders.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "core/file_io.h"
#include "library/sync_names.h"

namespace qs::library {

namespace {

// The file: a first line naming the writing folder, then a line a folder: its inode, its
// status-change time in seconds and nanoseconds, and its path below the writing folder.
constexpr std::string_view kHeader = "quillstone package folders 1\t";

template <typename T>
bool number(std::string_view& line, T& out) {
  const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), out);
  if (error != std::errc() || end == line.data() + line.size() || *end != ' ') return false;
  line.remove_prefix(static_cast<std::size_t>(end - line.data()) + 1);
  return true;
}

}  // namespace

void PackageFolders::load(const fs::path& root) {
  root_ = root;
  entries_.clear();
  changed_ = false;
  auto text = file_io::readFile(file_);
  if (!text) return;
  std::string_view rest = *text;
  std::size_t end = rest.find('\n');
  if (end == std::string_view::npos ||
      rest.substr(0, end) != std::string(kHeader) + root.string()) {
    return;  // kept for another writing folder, or not ours: every folder is listed once
  }
  rest.remove_prefix(end + 1);
  entries_.reserve(static_cast<std::size_t>(std::count(rest.begin(), rest.end(), '\n')));
  while (!rest.empty()) {
    end = rest.find('\n');
    if (end == std::string_view::npos) break;  // cut short: the last line is not taken
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    FolderStamp stamp;
    if (!number(line, stamp.inode) || !number(line, stamp.changed_seconds) ||
        !number(line, stamp.changed_nanoseconds) || line.empty()) {
      continue;
    }
    entries_.insert_or_assign(std::string(line), Entry{stamp, {}});
  }
}

void PackageFolders::save() {
  if (root_.empty()) return;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.met) {
      ++it;
    } else {
      it = entries_.erase(it);
      changed_ = true;
    }
  }
  if (!changed_) return;
  std::string text = std::string(kHeader) + root_.string() + "\n";
  text.reserve(entries_.size() * 64);
  for (const auto& [path, entry] : entries_) {
    // A folder holding a version is listed at every start until the version is brought in.
    if (!entry.versions.empty() || path.find('\n') != std::string::npos) continue;
    text.append(std::to_string(entry.stamp.inode))
        .append(" ")
        .append(std::to_string(entry.stamp.changed_seconds))
        .append(" ")
        .append(std::to_string(entry.stamp.changed_nanoseconds))
        .append(" ")
        .append(path)
        .append("\n");
  }
  // Only a way to save work: losing it to a crash costs one listing of each folder.
  if (file_io::writeAtomically(file_, text, file_io::Durability::kFileOnly)) changed_ = false;
}

std::string_view PackageFolders::key(const fs::path& package) const {
  const std::string& p = package.native();
  const std::string& r = root_.native();
  if (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/') {
    return std::string_view(p).substr(r.size() + 1);
  }
  return p;
}

const std::vector<std::string>& PackageFolders::versionFiles(const fs::path& package,
                                                             const FolderStamp& stamp) {
  const std::string_view below = key(package);
  auto it = entries_.find(below);
  const bool added = it == entries_.end();
  if (added) it = entries_.emplace(std::string(below), Entry{}).first;
  Entry& entry = it->second;
  entry.met = true;
  if (!added && entry.stamp == stamp) return entry.versions;
  entry.stamp = stamp;
  entry.versions.clear();
  changed_ = true;
  auto folder = file_io::Folder::open(package, file_io::Links::kRefuse);
  if (!folder) return entry.versions;
  for (auto& name : folder->names().value_or(std::vector<std::string>{})) {
    if (parseVersionFileName(name)) entry.versions.push_back(std::move(name));
  }
  return entry.versions;
}

void PackageFolders::forget(const fs::path& package) {
  if (auto it = entries_.find(key(package)); it != entries_.end()) {
    entries_.erase(it);
    changed_ = true;
  }
}

PackageFolders::Time PackageFolders::firstMet(const fs::path& package, Time now) {
  return waiting_.try_emplace(package.string(), now).first->second;
}

}  // namespace qs::library
