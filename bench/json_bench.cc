// The JSON writer on the generator's documents (seed 1, 300 words): the compact form the page
// and the tool get, the ASCII form of the page's replies, and the file form (keys sorted,
// indented). The peer is Boost.JSON's own serializer on the same value. Bytes/s counts the
// bytes written.
#include <benchmark/benchmark.h>

#include "bench/workspace_generator.h"
#include "core/json.h"

namespace {

using namespace qs;

const json::value& documents() {
  static const json::value all = [] {
    json::array docs;
    for (std::size_t i = 0; i < 1'000; ++i) docs.push_back(bench::makeDocument(i, 300, 1));
    return json::value(std::move(docs));
  }();
  return all;
}

template <typename Write>
void writeAll(benchmark::State& state, Write write) {
  const json::value& docs = documents();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = write(docs);
    bytes += text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_JsonCompact(benchmark::State& state) {
  writeAll(state, [](const json::value& v) { return *json::compact(v); });
}
BENCHMARK(BM_JsonCompact)->Unit(benchmark::kMillisecond)->MinTime(1);

void BM_JsonCompactAscii(benchmark::State& state) {
  writeAll(state, [](const json::value& v) { return *json::compactAscii(v); });
}
BENCHMARK(BM_JsonCompactAscii)->Unit(benchmark::kMillisecond)->MinTime(1);

void BM_JsonFileForm(benchmark::State& state) {
  writeAll(state, [](const json::value& v) { return *json::pretty(v); });
}
BENCHMARK(BM_JsonFileForm)->Unit(benchmark::kMillisecond)->MinTime(1);

void BM_PeerBoostSerialize(benchmark::State& state) {
  writeAll(state, [](const json::value& v) { return boost::json::serialize(v); });
}
BENCHMARK(BM_PeerBoostSerialize)->Unit(benchmark::kMillisecond)->MinTime(1);

}  // namespace
