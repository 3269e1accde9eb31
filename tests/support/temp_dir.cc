#include "support/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qs::testing {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::filesystem::path& base) {
  std::string pattern = (base / "qs-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path scratch_folder() {
  std::error_code ec;
  if (std::filesystem::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  return std::filesystem::temp_directory_path();
}

void write_text(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> names_in(const std::filesystem::path& folder) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    out.push_back(e.path().filename());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::map<std::string, std::string> tree(const std::filesystem::path& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    std::string& entry = out[std::filesystem::relative(e.path(), folder).string()];
    if (e.is_symlink()) {
      entry = "-> " + std::filesystem::read_symlink(e.path()).string();
    } else {
      entry = e.is_regular_file() ? read_text(e.path()) : "/";
    }
  }
  return out;
}

std::size_t count_of(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != text.npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

std::vector<std::string> lines_of(std::string_view text) {
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

}  // namespace qs::testing
