// quillstone-cli: the headless face of the library, for scripts and tests. Output is JSON or
// plain text on standard output; failures are one line on standard error. Exit status 0 on
// success, 1 when the operation failed, 2 on a usage error.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"

namespace {

void print_usage(FILE* to) {
  std::fputs(
      "usage: quillstone-cli render --markdown|--html|--title|--first-words [FILE|-]\n"
      "       quillstone-cli render --thumbnail OUT.png [--size N] [FILE|-]\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    print_usage(args.empty() ? stderr : stdout);
    return args.empty() ? qs::cli::kUsage : qs::cli::kOK;
  }
  const std::string_view command = args[0];
  args.erase(args.begin());
  if (command == "render") return qs::cli::render(args);
  std::fprintf(stderr, "quillstone-cli: unknown command \"%.*s\"\n",
               static_cast<int>(command.size()), command.data());
  print_usage(stderr);
  return qs::cli::kUsage;
}
