// Saves of one document (what a keystroke pause costs) and the search index catching up at
// launch, on the Release build.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/workspace_generator.h"
#include "library/library.h"
#include "library/package.h"
#include "preview/search_index.h"

namespace {

namespace fs = std::filesystem;
using namespace qs;

fs::path tempFolder() {
  std::string pattern = (fs::temp_directory_path() / "qs-write-bench-XXXXXX").string();
  return mkdtemp(pattern.data());
}

// A generated document with at least thirteen nodes, the last of which the thumbnail never
// shows.
json::object longDocument() {
  json::object doc = bench::makeDocument(1, 300, 1);
  doc.erase("archived");
  json::array& nodes = doc["nodes"].as_array();
  const json::array first = nodes;
  while (nodes.size() < 12) nodes.push_back(first[nodes.size() % first.size()]);
  nodes.push_back(json::object{{"id", "hidden"}, {"text", "edit 0"}});
  return doc;
}

// One save through Library::write, as the page's save of a changed document: Arg 0 changes a
// paragraph the thumbnail doesn't show, Arg 1 the first paragraph, which it does.
void BM_Save(benchmark::State& state) {
  const fs::path dir = tempFolder();
  library::Library lib(dir / "Writing", dir / "Support", {});
  const json::object base = longDocument();
  if (!lib.write(bench::recordFor(base, 1))) state.SkipWithError("first write failed");
  int edit = 0;
  for (auto _ : state) {
    ++edit;
    json::object doc = state.range(0) ? bench::editDocument(base, edit) : base;
    doc["nodes"].as_array().back() =
        json::object{{"id", "hidden"}, {"text", "edit " + std::to_string(edit)}};
    doc["updated"] = 1733472000000 + edit;
    if (!lib.write(bench::recordFor(doc, edit + 1))) state.SkipWithError("write failed");
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_Save)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

struct Place {
  fs::path library;  // holds Quillstone/ and support/
  fs::path scratch;  // this run's own files
};

// 1,000 documents generated for the run (changed freely); 10,000 the cached workspace
// (bench/README.md), only read or written back unchanged; any count from the folder
// QUILLSTONE_BENCH_LIBRARY_<count> names (a library made elsewhere, such as bench/run.sh's
// scale workspaces), also only read or written back unchanged. None when it can't be had.
std::optional<Place> libraryOf(std::size_t count) {
  static std::map<std::size_t, Place> made;
  if (auto it = made.find(count); it != made.end()) return it->second;
  Place place{{}, tempFolder()};
  const std::string variable = "QUILLSTONE_BENCH_LIBRARY_" + std::to_string(count);
  if (const char* given = std::getenv(variable.c_str()); given && *given) {
    place.library = given;
  } else if (count > 10000) {
    return std::nullopt;
  } else if (count >= 10000) {
    auto cached = bench::cachedWorkspace(count, 300, 1);
    if (!cached) return std::nullopt;
    place.library = cached->folder;
  } else {
    place.library = place.scratch / "library";
    auto generated = bench::generateWorkspace(place.library / "Quillstone",
                                              place.library / "support", count, 300, 1);
    if (!generated.error.empty()) return std::nullopt;
  }
  return made[count] = place;
}

// The same record written back unchanged, one document after another across the library: the
// cost of a write that finds everything as it was, per document, at 1,000 and 10,000.
void BM_UnchangedRewrite(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  auto place = libraryOf(count);
  if (!place) {
    state.SkipWithError("no library");
    return;
  }
  library::Library lib(place->library / "Quillstone", place->library / "support", {});
  // The documents spread over the library; each written back once first, untimed, so that a
  // thumbnail drawn by an older version is brought up to date before the timing.
  constexpr std::size_t kDocuments = 150;
  (void)lib.rescan();
  std::vector<std::string> ids;  // every (count / kDocuments)th id the library holds
  for (std::size_t k = 0; const auto& [id, package] : lib.documents()) {
    if (k++ % (count / kDocuments) == 0 && ids.size() < kDocuments) ids.push_back(id);
  }
  if (ids.size() < kDocuments) {
    state.SkipWithError("too few documents");
    return;
  }
  auto recordOf = [&](std::size_t n) {
    const auto package = lib.url(ids[n]);
    return package ? library::readRecord(*package) : std::nullopt;
  };
  for (std::size_t n = 0; n < kDocuments; ++n) {
    if (auto record = recordOf(n)) (void)lib.write(*record);
  }
  std::size_t n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto record = recordOf(n++ % kDocuments);
    state.ResumeTiming();
    if (!record || !lib.write(*record)) {
      state.SkipWithError("write failed");
      break;
    }
  }
}
BENCHMARK(BM_UnchangedRewrite)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(30000)  // with QUILLSTONE_BENCH_LIBRARY_30000
    ->Unit(benchmark::kMillisecond)
    ->Iterations(300);

// The search index's catch-up at launch on a library of range(0) documents, of which
// range(1) changed since the index last looked; -1: no index yet (a first launch, or an index of
// another version). The index is kept in the run's own folder.
void BM_SearchIndexAtLaunch(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const int changed = static_cast<int>(state.range(1));
  auto found = libraryOf(count);
  if (!found) {
    state.SkipWithError("no library");
    return;
  }
  if (count >= 10000 && changed > 0) {
    state.SkipWithError("the cached workspace is only read");
    return;
  }
  const fs::path place = found->library, scratch = found->scratch;
  const fs::path root = place / "Quillstone", support = place / "support";
  const fs::path database = scratch / "search-index.sqlite3";
  auto index = makeSQLiteSearchIndex(database, true);
  library::Library lib(root, support, {nullptr, index.get(), nullptr, nullptr, {}, {}});
  (void)lib.updateSearchIndex();
  index->flush();
  std::size_t read = 0;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (changed < 0) {
      index.reset();
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(database.string() + suffix);
      index = makeSQLiteSearchIndex(database, true);
    }
    // Documents changed by another program while the app was away.
    for (int i = 0; i < changed; ++i) {
      const std::size_t n =
          (static_cast<std::size_t>(round) * 97 + static_cast<std::size_t>(i) * 13) % count;
      const auto package = lib.url("d-" + std::to_string(n));
      auto record = package ? library::readRecord(*package) : std::nullopt;
      if (!record) continue;
      json::object doc = record->at("doc").as_object();
      doc["updated"] = 1733472000000 + round;
      (void)library::writePackage(*package, {}, doc);
    }
    ++round;
    library::Library fresh(root, support, {nullptr, index.get(), nullptr, nullptr, {}, {}});
    state.ResumeTiming();
    read = fresh.updateSearchIndex();
    index->flush();
  }
  state.counters["documents_read"] = static_cast<double>(read);
}
BENCHMARK(BM_SearchIndexAtLaunch)
    ->Args({1000, 0})
    ->Args({1000, 10})
    ->Args({1000, -1})
    ->Args({10000, 0})
    ->Args({10000, -1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
