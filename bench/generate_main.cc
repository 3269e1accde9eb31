// quillstone-bench-generate: writes a synthetic workspace for benchmarks and manual testing.
//
//   quillstone-bench-generate --root DIR --support DIR --count N [--size WORDS] [--seed S]
//                             [--threads T]
//
// Prints one JSON line describing what was written; progress goes to standard error.
// Exit status 0 on success, 1 when a package or support file couldn't be written, 2 on a usage
// error.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string_view>

#include "bench/workspace_generator.h"

namespace {

constexpr const char* kUsage =
    "usage: quillstone-bench-generate --root DIR --support DIR --count N [--size WORDS]\n"
    "                                 [--seed S] [--threads T]\n"
    "  --size     about how many words a document has (default 300)\n"
    "  --seed     the same seed gives the same workspace (default 1)\n"
    "  --threads  packages written at once (default: one per core)\n";

template <typename T>
std::optional<T> number(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int usage(std::string_view why) {
  std::fprintf(stderr, "quillstone-bench-generate: %.*s\n%s", static_cast<int>(why.size()),
               why.data(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qs;
  std::optional<std::filesystem::path> root, support;
  std::optional<std::size_t> count;
  int size = 300;
  std::uint64_t seed = 1;
  bench::GenerateOptions options;

  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) return usage(std::string(flag) + " needs a value");
    const std::string_view value = argv[++i];
    if (flag == "--root") {
      root = std::string(value);
    } else if (flag == "--support") {
      support = std::string(value);
    } else if (flag == "--count") {
      count = number<std::size_t>(value);
      if (!count) return usage("--count needs a whole number");
    } else if (flag == "--size") {
      auto n = number<int>(value);
      if (!n || *n < 1) return usage("--size needs a positive whole number");
      size = *n;
    } else if (flag == "--seed") {
      auto n = number<std::uint64_t>(value);
      if (!n) return usage("--seed needs a whole number");
      seed = *n;
    } else if (flag == "--threads") {
      auto n = number<unsigned>(value);
      if (!n) return usage("--threads needs a whole number");
      options.threads = *n;
    } else {
      return usage("unknown option " + std::string(flag));
    }
  }
  if (!root || root->empty() || !support || support->empty() || !count) {
    return usage("--root, --support and --count are needed");
  }

  options.progress = [total = *count](std::size_t done) {
    std::fprintf(stderr, "\r%zu/%zu packages", done, total);
    if (done == total) std::fputc('\n', stderr);
  };
  const auto start = std::chrono::steady_clock::now();
  const bench::Generated result =
      bench::generateWorkspace(*root, *support, *count, size, seed, options);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!result.error.empty()) {
    std::fprintf(stderr, "quillstone-bench-generate: %s\n", result.error.c_str());
    if (result.ids.empty()) return 1;
  }
  json::object summary{{"documents", static_cast<std::uint64_t>(result.ids.size())},
                       {"archived", static_cast<std::uint64_t>(result.archived)},
                       {"largeImages", static_cast<std::uint64_t>(result.with_large_image)},
                       {"untitled", static_cast<std::uint64_t>(result.untitled)},
                       {"renamed", static_cast<std::uint64_t>(result.renamed)},
                       {"failed", static_cast<std::uint64_t>(result.failed)},
                       {"seconds", seconds}};
  std::cout << json::compact(summary).value_or("{}") << "\n";
  return result.failed || !result.error.empty() ? 1 : 0;
}
