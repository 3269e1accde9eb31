// help, --help and --version: what each command does, at more length than the overview.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "core/build_info.h"

namespace qs::cli {

namespace {

struct CommandHelp {
  std::string_view name;
  std::string_view synopsis;  // one line a form, after "quillstone-cli "
  std::string_view text;
};

constexpr CommandHelp kCommands[] = {
    {"render",
     "render --markdown|--html|--title|--first-words [FILE|-]\n"
     "render --thumbnail OUT.png [--size N] [FILE|-]",
     "Renders one document: as Markdown (--markdown), as the preview page (--html), its title\n"
     "(--title) or its first words (--first-words), on standard output; or draws its thumbnail\n"
     "into OUT.png, N pixels square (1 to 8192, default 512).\n"
     "\n"
     "FILE is a doc object or a whole document.json; - or no FILE reads standard input. A FILE\n"
     "inside a .quillstone package gets its image references restored from the package.\n"},
    {"open", "open",
     "Reads the whole workspace as the editor page's \"open\" receives it and prints it as one\n"
     "line of JSON.\n"},
    {"write", "write [FILE|-]",
     "Applies one write batch {docs, meta, pretext}, as the editor page sends it, from FILE or\n"
     "standard input. Prints true, or {\"message\": …} naming the documents that couldn't be\n"
     "written (exit status 1).\n"},
    {"scan", "scan",
     "Rescans the writing folder and prints the problems found, as a JSON array of\n"
     "{\"name\", \"reason\"}, among them the versions a sync tool set aside that open and\n"
     "watch have not brought in yet. Changes nothing.\n"},
    {"move", "move DIR",
     "Moves every document package to the folder DIR, which becomes the writing folder, and\n"
     "prints {\"moved\": n, \"stayed\": s}.\n"},
    {"search", "search QUERY",
     "Finds documents by their words in the search index: one {\"id\", \"title\", \"path\"} a\n"
     "line, best first. Every word must match; the last one may be the start of a word. Quote\n"
     "several words as one argument.\n"},
    {"bridge", "bridge",
     "Answers host messages as the desktop program answers its page: one message (JSON) a line\n"
     "on standard input, one reply a line on standard output, {\"value\": V} or\n"
     "{\"error\": TEXT}, in the order the work completes. V is exactly what the page receives,\n"
     "so a JSON value is a string beginning with U+001E.\n"},
    {"watch", "watch",
     "Reads the workspace as \"open\" does, then prints each batch of records changed outside\n"
     "the app as one line of JSON, until SIGINT or SIGTERM.\n"},
    {"import-backup", "import-backup FILE",
     "Brings in a whole-workspace backup downloaded from the web version: each document newer\n"
     "than the library's copy becomes a package, and the workspace's groups and order, the\n"
     "pretext and the image captures are merged. Prints {\"count\": n, \"skipped\": s,\n"
     "\"failed\": [ids]}; shows a progress bar on standard error when that is a terminal. A file\n"
     "that isn't a usable backup changes nothing: its reason on standard error, exit status 1.\n"},
    {"get", "get KEY", "Prints the setting KEY as JSON (exit status 1 when it isn't set).\n"},
    {"set", "set KEY JSON", "Stores JSON as the setting KEY.\n"},
    {"help", "help [COMMAND]", "Prints the overview of the commands, or what COMMAND does.\n"},
};

}  // namespace

int help(std::string_view overview, const std::vector<std::string_view>& args) {
  if (args.empty()) {
    std::fwrite(overview.data(), 1, overview.size(), stdout);
    return kOK;
  }
  if (args.size() > 1) return usage("help", "takes one command");
  for (const CommandHelp& command : kCommands) {
    if (command.name != args[0]) continue;
    std::string text = "usage:";
    std::string_view forms = command.synopsis;
    while (!forms.empty()) {
      const auto end = forms.find('\n');
      text += " quillstone-cli ";
      text += forms.substr(0, end);
      text += "\n";
      if (end == std::string_view::npos) break;
      forms.remove_prefix(end + 1);
      text += "      ";  // under the first form
    }
    text += "\n";
    text += command.text;
    std::fputs(text.c_str(), stdout);
    return kOK;
  }
  return usage("help", "no command \"" + std::string(args[0]) + "\"");
}

int version(const std::vector<std::string_view>& args) {
  if (!args.empty()) return usage("--version", "takes no arguments");
  std::printf("quillstone-cli %s\n", build::kVersion);
  return kOK;
}

}  // namespace qs::cli
