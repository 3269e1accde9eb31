// The library's commands: open, write, scan, move, search, and the settings store.
#include <cstdio>
#include <iostream>
#include <iterator>

#include "app/writing_folder.h"
#include "cli/commands.h"
#include "core/file_io.h"
#include "core/host_log.h"
#include "core/json.h"
#include "platform/prefs.h"
#include "platform/trash.h"
#include "preview/search_index.h"

namespace qs::cli {

namespace {

void print(const json::value& v) {
  // Every value here comes from parsed JSON or our own objects, so it serialises.
  std::cout << json::compact(v).value_or("null") << "\n";
}

std::optional<std::string> readInput(const std::vector<std::string_view>& args) {
  if (args.empty() || args[0] == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  return file_io::readFile(std::string(args[0]));
}

}  // namespace

Session::Session(const Places& places, library::Library::Start start)
    : log_queue(std::make_unique<ThreadSerialQueue>("quillstone.hostlog")),
      log(std::make_unique<HostLog>(places.support / "host-log.txt", *log_queue)),
      trash(makeDesktopTrash()),
      spotlight(makeSQLiteSearchIndex(places.support / "search-index.sqlite3")),
      prefs(std::make_unique<Prefs>(Prefs::defaultFile())) {
  library::Library::Services services;
  services.trash = trash.get();
  services.spotlight = spotlight.get();
  services.prefs = prefs.get();
  services.log = log.get();
  library = std::make_unique<library::Library>(places.root, places.support, services, start);
}

Session::~Session() {
  // Index updates and log lines queued by this run land before the tool exits.
  library.reset();
  spotlight->flush();
}

int open(const Places& places, const std::vector<std::string_view>& args) {
  if (!args.empty()) return usage("open", "takes no arguments");
  Session session(places, library::Library::Start::kLater);
  // Written as the library assembles it: each document's text as read, no tree in between.
  std::string text;
  session.library->openWorkspaceText(text);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return kOK;
}

int write(const Places& places, const std::vector<std::string_view>& args) {
  if (args.size() > 1) return usage("write", "takes at most one file");
  auto text = readInput(args);
  if (!text) return fail("couldn't read " + std::string(args[0]));
  auto batch = json::parse(*text);
  text.reset();  // the tree is all that is written from; a large batch shouldn't be held twice
  if (!batch) return fail("the batch isn't JSON");
  if (!batch->is_object()) return fail("the batch isn't a JSON object");
  const json::object& b = batch->get_object();
  static const json::array kNone;
  const json::array* docs = json::findArray(b, "docs");
  Session session(places);
  auto message = session.library->write(docs ? *docs : kNone, json::findObject(b, "meta"),
                                        json::findObject(b, "pretext"));
  if (message) {
    print(json::object{{"message", *message}});
    return kFailed;
  }
  print(true);
  return kOK;
}

int scan(const Places& places, const std::vector<std::string_view>& args) {
  if (!args.empty()) return usage("scan", "takes no arguments");
  Session session(places, library::Library::Start::kLater);
  json::array problems;
  for (const auto& p : session.library->rescan()) problems.push_back(p.toJSON());
  print(problems);
  return kOK;
}

int move(const Places& places, const std::vector<std::string_view>& args) {
  if (args.size() != 1 || args[0].empty()) return usage("move", "needs the new folder");
  const std::filesystem::path to(std::string{args[0]});
  Session session(places);
  auto result = session.library->moveAll(to);
  if (!result.refused.empty()) return fail(to.string() + ": " + result.refused);
  session.library->reindexSpotlight(nullptr);
  // The desktop program follows the library to its new place.
  if (places.remembered) {
    app::WritingFolder(*session.prefs, app::WritingFolder::Settings::fromEnvironment())
        .use(session.library->root());
  }
  if (!result.failed.empty()) {
    // Stopped partway and settled: where the documents are is told all the same.
    print(json::object{{"moved", result.moved},
                       {"stayed", result.stayed},
                       {"failed", result.failed},
                       {"root", session.library->root().string()}});
    return fail("the move stopped: " + result.failed);
  }
  print(json::object{{"moved", result.moved}, {"stayed", result.stayed}});
  return kOK;
}

int search(const Places& places, const std::vector<std::string_view>& args) {
  if (args.size() != 1) return usage("search", "needs one query (quote several words)");
  Session session(places);
  for (const auto& hit : session.spotlight->search(std::string(args[0]))) {
    print(json::object{{"id", hit.id}, {"title", hit.title}, {"path", hit.path}});
  }
  return kOK;
}

int get(const std::vector<std::string_view>& args) {
  if (args.size() != 1) return usage("get", "needs a key");
  Prefs prefs(Prefs::defaultFile());
  auto value = prefs.get(args[0]);
  if (!value) return fail("no setting \"" + std::string(args[0]) + "\"");
  print(*value);
  return kOK;
}

int set(const std::vector<std::string_view>& args) {
  if (args.size() != 2) return usage("set", "needs a key and a JSON value");
  auto value = json::parse(args[1]);
  if (!value) return fail("the value isn't JSON");
  Prefs prefs(Prefs::defaultFile());
  if (!prefs.set(args[0], *value)) return fail("couldn't write " + prefs.file().string());
  return kOK;
}

}  // namespace qs::cli
