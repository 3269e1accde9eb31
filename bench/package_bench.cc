// Package writes and renderings on typical documents. The baseline is the least a durable save
// can cost: the same "document.json" bytes written to a temporary file, fsynced and renamed.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <random>

#include "core/digest.h"
#include "core/file_io.h"
#include "core/json.h"
#include "library/package.h"
#include "preview/preview.h"

namespace {

namespace fs = std::filesystem;
using namespace qs;

// A document of `paragraphs` nodes with runs, marks and subtext bullets, like the page writes.
json::object makeDoc(int paragraphs, bool with_image) {
  std::mt19937 rng(7);
  const char* words[] = {"quiet",  "river",   "stone", "lantern", "north",  "paper",
                         "window", "morning", "ink",   "garden",  "thread", "harbour"};
  auto sentence = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::string(i ? " " : "") + words[rng() % 12];
    return s;
  };
  json::array nodes;
  for (int i = 0; i < paragraphs; ++i) {
    json::object node;
    node["id"] = "n" + std::to_string(i);
    if (i % 7 == 0) node["level"] = 1 + i % 3;
    json::array content;
    for (int r = 0; r < 3; ++r) {
      json::object run;
      run["text"] = sentence(8) + " ";
      if (r == 1) run["marks"] = json::array{json::object{{"type", "bold"}}};
      content.push_back(std::move(run));
    }
    node["content"] = std::move(content);
    if (i % 3 == 0) {
      json::array children;
      children.push_back(json::object{{"text", sentence(10)}});
      children.push_back(json::object{{"text", sentence(6)}, {"ai", true}});
      node["children"] = std::move(children);
    }
    nodes.push_back(std::move(node));
  }
  if (with_image) {
    std::string bytes(200 * 1024, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    nodes.push_back(
        json::object{{"image", "data:image/png;base64," + digest::base64Encode(bytes)}});
  }
  return json::object{{"id", "bench-doc"},
                      {"title", "A bench document"},
                      {"nodes", nodes},
                      {"updated", 1733472000000}};
}

fs::path tempFolder() {
  std::string pattern = (fs::temp_directory_path() / "qs-bench-XXXXXX").string();
  return mkdtemp(pattern.data());
}

void BM_WritePackage(benchmark::State& state) {
  const auto doc = makeDoc(static_cast<int>(state.range(0)), state.range(1) != 0);
  const json::object record{{"id", "bench-doc"}, {"rev", 1}, {"updated", 1733472000000}};
  const fs::path dir = tempFolder();
  int i = 0;
  for (auto _ : state) {
    // Alternate two documents so each write really changes the text and the thumbnail.
    auto changed = doc;
    changed["title"] = i++ % 2 ? "A bench document" : "A bench document, revised";
    if (!library::writePackage(dir / "Bench.quillstone", record, changed))
      state.SkipWithError("write failed");
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_WritePackage)
    ->Args({20, 0})
    ->Args({200, 0})
    ->Args({20, 1})
    ->Unit(benchmark::kMillisecond);

void BM_BaselineDurableWrite(benchmark::State& state) {
  const auto doc = makeDoc(static_cast<int>(state.range(0)), state.range(1) != 0);
  const std::string text = *json::pretty(doc);
  const fs::path dir = tempFolder();
  for (auto _ : state) {
    if (!file_io::writeAtomically(dir / "document.json", text)) state.SkipWithError("write failed");
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_BaselineDurableWrite)
    ->Args({20, 0})
    ->Args({200, 0})
    ->Args({20, 1})
    ->Unit(benchmark::kMillisecond);

void BM_RenderMarkdownAndHTML(benchmark::State& state) {
  const Preview preview(makeDoc(static_cast<int>(state.range(0)), false));
  for (auto _ : state) {
    benchmark::DoNotOptimize(preview.markdown());
    benchmark::DoNotOptimize(preview.html());
  }
}
BENCHMARK(BM_RenderMarkdownAndHTML)->Arg(20)->Arg(200)->Unit(benchmark::kMicrosecond);

void BM_Thumbnail(benchmark::State& state) {
  const Preview preview(makeDoc(20, false));
  for (auto _ : state) benchmark::DoNotOptimize(preview.thumbnailPNG(512));
}
BENCHMARK(BM_Thumbnail)->Unit(benchmark::kMillisecond);

void BM_ReadRecord(benchmark::State& state) {
  const auto doc = makeDoc(static_cast<int>(state.range(0)), state.range(1) != 0);
  const fs::path dir = tempFolder();
  (void)library::writePackage(dir / "Bench.quillstone", json::object{}, doc);
  for (auto _ : state) benchmark::DoNotOptimize(library::readRecord(dir / "Bench.quillstone"));
  fs::remove_all(dir);
}
BENCHMARK(BM_ReadRecord)
    ->Args({20, 0})
    ->Args({200, 0})
    ->Args({20, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
