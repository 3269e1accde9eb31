#include "support/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qs::testing {

namespace fs = std::filesystem;

TempDir::TempDir() : TempDir(fs::temp_directory_path()) {}

TempDir::TempDir(const fs::path& base) {
  std::string pattern = (base / "qs-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path scratchFolder() {
  std::error_code ec;
  const bool shm = fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0;
  return shm ? fs::path("/dev/shm") : fs::temp_directory_path();
}

void writeText(const fs::path& path, std::string_view text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string readText(const fs::path& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}

std::map<std::string, std::string> tree(const fs::path& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    out[fs::relative(e.path(), folder).string()] = e.is_symlink()
                                                       ? "-> " + fs::read_symlink(e.path()).string()
                                                   : e.is_regular_file() ? readText(e.path())
                                                                         : "/";
  }
  return out;
}

std::size_t countOf(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != text.npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    lines.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

json::object object(std::string_view text) {
  auto v = json::parse(text);
  if (!v || !v->is_object()) throw std::runtime_error("not a JSON object: " + std::string(text));
  return v->as_object();
}

std::vector<std::string> leftovers(const fs::path& folder) {
  std::vector<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (file_io::isTemporaryName(entry.path().filename().string()))
      out.push_back(entry.path().string());
  }
  return out;
}

}  // namespace qs::testing
