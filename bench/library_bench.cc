// The library on synthetic workspaces of 1,000 and 10,000 documents, each operation beside its
// peer: the same work done with nothing but file reads, a JSON parse or a durable write, so the
// numbers show what the library adds. Workspaces are generated on first use and kept (see
// workspace_generator.h); the first run of the 10,000-document benchmarks takes minutes.
//
// Writes go to real packages of the cached workspace; each benchmark puts the documents it
// changed back as they were when it ends.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>

#include "bench/workspace_generator.h"
#include "core/file_io.h"
#include "core/json.h"
#include "library/library.h"
#include "library/package.h"
#include "preview/search_index.h"

namespace {

namespace fs = std::filesystem;
using namespace qs;

constexpr int kWords = 300;
constexpr std::uint64_t kSeed = 1;
constexpr std::size_t kWriteLibrary = 10'000;
constexpr std::size_t kBatch = 20;

const bench::CachedWorkspace* workspace(std::size_t count) {
  static std::map<std::size_t, std::optional<bench::CachedWorkspace>> cache;
  auto it = cache.find(count);
  if (it == cache.end())
    it = cache.emplace(count, bench::cachedWorkspace(count, kWords, kSeed)).first;
  return it->second ? &*it->second : nullptr;
}

// One library per workspace for the whole run: its constructor scans, which is not what the
// read benchmarks measure.
library::Library* libraryFor(std::size_t count) {
  static std::map<std::size_t, std::unique_ptr<library::Library>> libraries;
  auto& lib = libraries[count];
  if (!lib) {
    const auto* ws = workspace(count);
    if (!ws) return nullptr;
    lib = std::make_unique<library::Library>(ws->root, ws->support, library::Library::Services{});
  }
  return lib.get();
}

// A folder of this process beside the workspace, so the peers write to the same file system.
// A folder that can't be made shows as failed writes.
fs::path scratchFolder(const bench::CachedWorkspace& ws) {
  static int made = 0;
  const fs::path folder =
      ws.folder / ("scratch-" + std::to_string(getpid()) + "-" + std::to_string(++made));
  std::error_code ec;
  fs::create_directories(folder, ec);
  return folder;
}

// ---- reading the whole workspace ----

void BM_Open(benchmark::State& state) {
  // As `quillstone-cli open`: a library that has read nothing yet, then the answer's text.
  // The library remembers what it read, so each round starts a new one.
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto* ws = workspace(count);
  if (!ws) return state.SkipWithError("no workspace");
  for (auto _ : state) {
    library::Library lib(ws->root, ws->support, library::Library::Services{},
                         library::Library::Start::kLater);
    std::string answer;
    lib.openWorkspaceText(answer);
    if (answer.size() < count * 100) {
      state.SkipWithError("open gave too little");
      break;
    }
    benchmark::DoNotOptimize(answer);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(BM_Open)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);

void BM_Rescan(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  library::Library* lib = libraryFor(count);
  if (!lib) return state.SkipWithError("no workspace");
  for (auto _ : state) {
    auto problems = lib->rescan();
    if (!problems.empty()) state.SkipWithError("the scan found problems");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(BM_Rescan)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);

// The peer of open and scan: list the folders a scan looks in and read every "document.json"
// with plain file reads, with (range 1 = 1) and without a Boost.JSON parse.
std::string readWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes;
  in.seekg(0, std::ios::end);
  bytes.resize(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void BM_PeerReadAll(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const bool parse = state.range(1) != 0;
  const auto* ws = workspace(count);
  if (!ws) return state.SkipWithError("no workspace");
  const fs::path folders[] = {ws->root, ws->root / library::kArchiveFolder,
                              ws->support / library::kReservedFolder};
  for (auto _ : state) {
    std::size_t files = 0, bytes = 0;
    for (const auto& folder : folders) {
      for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != library::kPackageExtension) continue;
        const std::string text = readWhole(entry.path() / library::kDocumentFile);
        bytes += text.size();
        ++files;
        if (parse) {
          boost::system::error_code ec;
          auto value = boost::json::parse(text, ec);
          if (ec) state.SkipWithError("a document doesn't parse");
          benchmark::DoNotOptimize(value);
        }
      }
    }
    if (files != count) state.SkipWithError("the peer found the wrong number of documents");
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(BM_PeerReadAll)
    ->ArgNames({"docs", "parse"})
    ->Args({1'000, 0})
    ->Args({1'000, 1})
    ->Args({10'000, 0})
    ->Args({10'000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2);

// ---- writes into a 10,000-document library ----

// Documents spread over the workspace, as the library holds them, and puts them back when done.
class Originals {
 public:
  Originals(library::Library& lib, std::size_t n) : lib_(lib) {
    for (std::size_t i = 0; records_.size() < n && i < kWriteLibrary; ++i) {
      const std::string id = "d-" + std::to_string((i * 487 + 13) % kWriteLibrary);
      auto package = lib.url(id);
      if (!package) continue;
      if (auto record = library::readRecord(*package)) records_.push_back(std::move(*record));
    }
  }
  ~Originals() {
    for (const auto& record : records_) (void)lib_.write(record);
  }
  std::size_t size() const { return records_.size(); }
  // The record the page sends after the `edit`-th change to document `i`.
  json::object edited(std::size_t i, int edit) const {
    const json::object& record = records_[i % records_.size()];
    const json::object changed = bench::editDocument(record.at("doc").get_object(), edit);
    const std::int64_t rev = json::asNumber(record.at("rev")).value_or(1);
    return bench::recordFor(changed, rev + 1 + edit);
  }
  fs::path package(std::size_t i) const {
    return *lib_.url(std::string(records_[i % records_.size()].at("id").get_string()));
  }

 private:
  library::Library& lib_;
  std::vector<json::object> records_;
};

int nextEdit() {
  static int edit = 0;  // every write of the run changes its document, thumbnail included
  return ++edit;
}

void writeOne(benchmark::State& state, library::Library& lib, SearchIndex* index) {
  Originals originals(lib, 32);
  std::size_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const json::object record = originals.edited(i++, nextEdit());
    state.ResumeTiming();
    if (!lib.write(record)) state.SkipWithError("the write failed");
    if (index) index->flush();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_WriteOne(benchmark::State& state) {
  library::Library* lib = libraryFor(kWriteLibrary);
  if (!lib) return state.SkipWithError("no workspace");
  writeOne(state, *lib, nullptr);
}
BENCHMARK(BM_WriteOne)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The same, with the search index updated (and waited for) after each write, as the app does.
void BM_WriteOneIndexed(benchmark::State& state) {
  const auto* ws = workspace(kWriteLibrary);
  if (!ws) return state.SkipWithError("no workspace");
  // Kept for the run like the other libraries; the index goes with the process.
  struct Indexed {
    explicit Indexed(const bench::CachedWorkspace& w)
        : folder(scratchFolder(w)),
          index(makeSQLiteSearchIndex(folder / "search-index.sqlite3", true)),
          lib(w.root, w.support, services(index.get())) {}
    static library::Library::Services services(SearchIndex* search) {
      library::Library::Services s;
      s.spotlight = search;
      return s;
    }
    ~Indexed() {
      index->flush();
      std::error_code ec;
      fs::remove_all(folder, ec);
    }
    fs::path folder;
    std::unique_ptr<SearchIndex> index;
    library::Library lib;
  };
  static Indexed indexed(*ws);
  writeOne(state, indexed.lib, indexed.index.get());
}
BENCHMARK(BM_WriteOneIndexed)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// What the library calls for each record, on its own: the package write without the index,
// ledger and bookkeeping around it.
void BM_WritePackageOnly(benchmark::State& state) {
  library::Library* lib = libraryFor(kWriteLibrary);
  if (!lib) return state.SkipWithError("no workspace");
  Originals originals(*lib, 32);
  std::size_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path package = originals.package(i);
    const json::object record = originals.edited(i++, nextEdit());
    state.ResumeTiming();
    if (!library::writePackage(package, record, record.at("doc").get_object()))
      state.SkipWithError("the write failed");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_WritePackageOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_WriteBatch20(benchmark::State& state) {
  library::Library* lib = libraryFor(kWriteLibrary);
  const auto* ws = workspace(kWriteLibrary);
  if (!lib || !ws) return state.SkipWithError("no workspace");
  auto meta_text = file_io::readFile(ws->support / "workspace.json");
  auto meta = meta_text ? json::parse(*meta_text) : std::nullopt;
  if (!meta || !meta->is_object()) return state.SkipWithError("no workspace.json");
  Originals originals(*lib, 4 * kBatch);
  std::size_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    json::array docs;
    const int edit = nextEdit();
    for (std::size_t k = 0; k < kBatch; ++k) docs.push_back(originals.edited(i++, edit));
    state.ResumeTiming();
    if (auto failure = lib->write(docs, &meta->get_object(), nullptr))
      state.SkipWithError(failure->c_str());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_WriteBatch20)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The peer of the writes: the least a durable save of the same "document.json" bytes costs
// (temporary file, fsync, rename, folder fsync); range 0 files per round, then, for a batch,
// "workspace.json" as the library writes it.
void BM_PeerDurableWrite(benchmark::State& state) {
  const auto files = static_cast<std::size_t>(state.range(0));
  library::Library* lib = libraryFor(kWriteLibrary);
  const auto* ws = workspace(kWriteLibrary);
  if (!lib || !ws) return state.SkipWithError("no workspace");
  std::vector<std::string> texts;
  {
    Originals originals(*lib, files);
    for (std::size_t k = 0; k < files; ++k) {
      texts.push_back(*file_io::readFile(originals.package(k) / library::kDocumentFile));
    }
  }
  const auto meta = file_io::readFile(ws->support / "workspace.json");
  const fs::path folder = scratchFolder(*ws);
  for (auto _ : state) {
    for (std::size_t k = 0; k < files; ++k) {
      if (!file_io::writeAtomically(folder / ("document-" + std::to_string(k) + ".json"), texts[k]))
        state.SkipWithError("write failed");
    }
    if (files > 1 && !file_io::writeAtomically(folder / "workspace.json", *meta))
      state.SkipWithError("write failed");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * files));
  fs::remove_all(folder);
}
BENCHMARK(BM_PeerDurableWrite)
    ->ArgName("files")
    ->Arg(1)
    ->Arg(kBatch)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3);

// One part of every library write, measured alone: "ledger.json" of 10,000 documents,
// serialised and saved durably.
void BM_LedgerSave(benchmark::State& state) {
  const auto* ws = workspace(kWriteLibrary);
  if (!ws) return state.SkipWithError("no workspace");
  auto text = file_io::readFile(ws->support / "ledger.json");
  auto ledger = text ? json::parse(*text) : std::nullopt;
  if (!ledger) return state.SkipWithError("no ledger.json");
  const fs::path folder = scratchFolder(*ws);
  for (auto _ : state) {
    auto pretty = json::pretty(*ledger);
    if (!pretty || !file_io::writeAtomically(folder / "ledger.json", *pretty))
      state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text->size()));
  fs::remove_all(folder);
}
BENCHMARK(BM_LedgerSave)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace
