// The outside-change check on an unchanged workspace, side by side with `find` listing and
// stat-ing the same "document.json" files. The check must neither hash nor read any document:
// the counters say how many it did.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/workspace_generator.h"
#include "library/library.h"

namespace {

using namespace qs;

constexpr std::uint64_t kSeed = 1;
constexpr int kWords = 120;

const bench::CachedWorkspace* workspace(std::size_t count) {
  static std::map<std::size_t, std::optional<bench::CachedWorkspace>> cache;
  auto it = cache.find(count);
  if (it == cache.end())
    it = cache.emplace(count, bench::cachedWorkspace(count, kWords, kSeed)).first;
  return it->second ? &*it->second : nullptr;
}

void BM_ExternalChangesUnchanged(benchmark::State& state) {
  const auto* ws = workspace(static_cast<std::size_t>(state.range(0)));
  if (!ws) {
    state.SkipWithError("no workspace");
    return;
  }
  library::Library lib(ws->root, ws->support, {});
  (void)lib.openWorkspace();  // as after the page's "open": everything has been seen once
  for (auto _ : state) benchmark::DoNotOptimize(lib.externalChanges());
  const auto cost = lib.lastCheckCost();
  state.counters["identities_read"] = static_cast<double>(cost.identities_read);
  state.counters["hashed"] = static_cast<double>(cost.hashed);
  state.counters["records_read"] = static_cast<double>(cost.records_read);
}
BENCHMARK(BM_ExternalChangesUnchanged)->Arg(10000)->Unit(benchmark::kMillisecond)->MinTime(2);

// The floor: list the same folders and stat every "document.json", as find does.
void BM_FindStat(benchmark::State& state) {
  const auto* ws = workspace(static_cast<std::size_t>(state.range(0)));
  if (!ws) {
    state.SkipWithError("no workspace");
    return;
  }
  const std::string command = "find '" + ws->root.string() +
                              "' -maxdepth 3 -name document.json -printf '%s %T@\\n' | wc -l";
  for (auto _ : state) {
    FILE* pipe = popen(command.c_str(), "r");
    char buf[64];
    while (pipe && fgets(buf, sizeof buf, pipe)) {
    }
    if (pipe) pclose(pipe);
  }
}
BENCHMARK(BM_FindStat)->Arg(10000)->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace
