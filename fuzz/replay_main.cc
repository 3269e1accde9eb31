// The replay program: runs files through a fuzz target, as the fuzzer would, in an ordinary
// build. The tests run every target over its seed corpus.
//
//   quillstone_fuzz_replay TARGET FILE_OR_FOLDER...
//   quillstone_fuzz_replay --list

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_target.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const auto& targets = qs::fuzz::targets();
  if (argc == 2 && std::string_view(argv[1]) == "--list") {
    for (const auto& [name, target] : targets) std::printf("%s\n", name.c_str());
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TARGET FILE_OR_FOLDER... | --list\n", argv[0]);
    return 2;
  }
  const auto target = targets.find(std::string_view(argv[1]));
  if (target == targets.end()) {
    std::fprintf(stderr, "no fuzz target %s\n", argv[1]);
    return 2;
  }
  std::vector<fs::path> files;
  for (int i = 2; i < argc; ++i) {
    const fs::path given = argv[i];
    if (fs::is_directory(given)) {
      for (const auto& entry : fs::directory_iterator(given)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(given);
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "nothing to replay for %s\n", argv[1]);
    return 2;
  }
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "can't read %s\n", file.c_str());
      return 2;
    }
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string input = bytes.str();
    std::fprintf(stderr, "%s: %s\n", argv[1], file.filename().c_str());
    target->second(input);
  }
  std::printf("%s: %zu inputs replayed\n", argv[1], files.size());
  return 0;
}
