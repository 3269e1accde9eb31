// quillstone-bench-floor: the floor under `quillstone-cli open` and `scan`. It lists the folders
// the library looks in and reads every "document.json" once, parsing it with the library's JSON
// parser, on one thread; nothing is kept or written out.
//
//   quillstone-bench-floor ROOT SUPPORT
//
// Prints the documents parsed and their bytes.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/json.h"
#include "library/package.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  using namespace qs;
  if (argc != 3) {
    std::fputs("usage: quillstone-bench-floor ROOT SUPPORT\n", stderr);
    return 2;
  }
  const fs::path root = argv[1];
  std::size_t documents = 0, bytes = 0;
  for (const fs::path& folder :
       {root, root / library::kArchiveFolder, fs::path(argv[2]) / library::kReservedFolder}) {
    std::error_code ec;
    std::vector<fs::path> packages;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      if (entry.path().extension() == library::kPackageExtension) packages.push_back(entry.path());
    }
    std::sort(packages.begin(), packages.end());
    for (const auto& package : packages) {
      std::ifstream in(package / library::kDocumentFile, std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      boost::system::error_code parse_error;
      const auto value = boost::json::parse(text, parse_error);
      if (parse_error || !value.is_object()) continue;
      ++documents;
      bytes += text.size();
    }
  }
  std::printf("{\"documents\":%zu,\"bytes\":%zu}\n", documents, bytes);
  return 0;
}
