// quillstone-cli: the headless face of the library, for scripts and tests. Output is JSON or
// plain text on standard output, one value a line; failures are one line on standard error.
// Exit status 0 on success, 1 when the operation failed, 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/writing_folder.h"
#include "cli/commands.h"
#include "platform/prefs.h"

namespace qs::cli {

int fail(std::string_view message) {
  std::fprintf(stderr, "quillstone-cli: %.*s\n", static_cast<int>(message.size()), message.data());
  return kFailed;
}

int usage(std::string_view command, std::string_view message) {
  std::fprintf(stderr, "quillstone-cli %.*s: %.*s\n", static_cast<int>(command.size()),
               command.data(), static_cast<int>(message.size()), message.data());
  return kUsage;
}

}  // namespace qs::cli

namespace {

constexpr const char* kUsageText =
    "usage: quillstone-cli [--root DIR] [--support DIR] COMMAND [ARGS]\n"
    "       quillstone-cli --help | --version | help COMMAND\n"
    "\n"
    "  render --markdown|--html|--title|--first-words [FILE|-]\n"
    "  render --thumbnail OUT.png [--size N] [FILE|-]\n"
    "  open                 the workspace as the page's \"open\" receives it\n"
    "  write [FILE|-]       apply one write batch {docs, meta, pretext}\n"
    "  scan                 the problems a rescan finds, as a JSON array\n"
    "  move DIR             move the library to DIR\n"
    "  search QUERY         matching documents, best first, one JSON object a line\n"
    "  bridge               host messages on standard input, replies on standard output\n"
    "  watch                records changed outside the app, a batch a line, until stopped\n"
    "  import-backup FILE   bring in a whole-workspace backup from the web version\n"
    "  get KEY              a setting, as JSON\n"
    "  set KEY JSON         store a setting\n"
    "\n"
    "The writing folder is --root, else $QUILLSTONE_ROOT, else the desktop program's writing\n"
    "folder, else Documents/Quillstone; the support folder is --support, else\n"
    "$QUILLSTONE_SUPPORT, else $XDG_DATA_HOME/quillstone.\n";

std::filesystem::path fromEnvironment(const char* name, std::filesystem::path fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::filesystem::path(value) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qs::cli;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  std::optional<std::filesystem::path> root, support;
  while (!args.empty() && (args[0] == "--root" || args[0] == "--support")) {
    if (args.size() < 2 || args[1].empty()) return usage(args[0].substr(2), "needs a folder");
    (args[0] == "--root" ? root : support) = std::filesystem::path(args[1]);
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    std::fputs(kUsageText, stderr);
    return kUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    return help(kUsageText, {args.begin() + 1, args.end()});
  }
  if (args[0] == "--version") return version({args.begin() + 1, args.end()});
  const std::string_view command = args[0];
  args.erase(args.begin());
  Places places;
  if (root) {
    places.root = *root;
  } else if (const char* given = std::getenv("QUILLSTONE_ROOT"); given && *given) {
    places.root = given;
  } else {
    // The folder the desktop program uses, as long as it can still serve; it never asks here.
    qs::Prefs prefs(qs::Prefs::defaultFile());
    qs::app::WritingFolder folder(prefs, qs::app::WritingFolder::Settings::fromEnvironment());
    places.root = folder.stored().value_or(qs::library::Library::defaultRoot());
    places.remembered = true;
  }
  places.support =
      support ? *support : fromEnvironment("QUILLSTONE_SUPPORT", qs::library::supportURL());
  // Whatever is stored (the ledger, the search index) must mean the same place from any folder.
  places.root = std::filesystem::absolute(places.root);
  places.support = std::filesystem::absolute(places.support);

  if (command == "render") return render(args);
  if (command == "open") return open(places, args);
  if (command == "write") return write(places, args);
  if (command == "scan") return scan(places, args);
  if (command == "move") return move(places, args);
  if (command == "search") return search(places, args);
  if (command == "bridge") return bridge(places, args);
  if (command == "watch") return watch(places, args);
  if (command == "import-backup") return importBackup(places, args);
  if (command == "get") return get(args);
  if (command == "set") return set(args);
  std::fprintf(stderr, "quillstone-cli: unknown command \"%.*s\"\n%s",
               static_cast<int>(command.size()), command.data(), kUsageText);
  return kUsage;
}
