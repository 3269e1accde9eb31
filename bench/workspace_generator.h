// Synthetic workspaces for the benchmarks: a writing folder of real packages (written through
// writePackage, so each has its previews, thumbnail and images), and a support folder with the
// "workspace.json" and "ledger.json" the app would have left after writing them.
//
// Everything is a function of the seed: document `i` of a workspace is the same doc whichever
// thread writes it, and package names ("Notes", "Notes 2", …) are handed out in document order.
// Callable from any thread; generateWorkspace starts its own workers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"

namespace qs::bench {

namespace fs = std::filesystem;

// Bumped whenever the documents made from a seed change, so cached workspaces are remade.
inline constexpr int kGeneratorVersion = 2;

struct Generated {
  std::vector<std::string> ids;  // every document by index: "d-0", "d-1", …
  std::size_t archived = 0;
  std::size_t with_large_image = 0;
  std::size_t untitled = 0;
  std::size_t renamed = 0;  // packages named "Name 2" and further because the name was taken
  std::size_t failed = 0;   // writePackage said false
  std::string error;        // set when nothing was generated
};

struct GenerateOptions {
  unsigned threads = 0;  // 0: one per core
  // Called from the workers now and then with the number of packages written so far.
  std::function<void(std::size_t done)> progress;
};

// Document `index` of the workspace made from `seed`: a title (sometimes one many documents
// share, sometimes none), about `size` words of paragraphs with marked runs, some headings,
// nested subtext bullets (some written by the AI), now and then a large embedded PNG, and a
// few archived. The id is "d-<index>".
json::object makeDocument(std::size_t index, int size, std::uint64_t seed);

// The record the page sends for a doc.
json::object recordFor(const json::object& doc, std::int64_t rev);

// The doc after the writer's `edit`-th change: the first paragraph gains a sentence and
// `updated` moves on. Id, title and placement stay, so the package keeps its name.
json::object editDocument(const json::object& doc, int edit);

// The "workspace.json" of a generated workspace: its `order` lists most ids, shuffled.
json::object workspaceMeta(const std::vector<std::string>& ids, std::uint64_t seed);

// Writes `count` documents into `root` (archived ones into root/Archive), then the support
// folder's "workspace.json" and "ledger.json". `root` must not hold packages yet: the names are
// decided before any is written.
Generated generateWorkspace(const fs::path& root, const fs::path& support, std::size_t count,
                            int size, std::uint64_t seed, const GenerateOptions& options = {});

// A workspace kept between benchmark runs: "<base>/<count>-<seed>-<size>", where base is
// $QUILLSTONE_BENCH_DIR, else the temporary folder with the prefix "quillstone-bench-".
struct CachedWorkspace {
  fs::path folder;
  fs::path root;     // folder/Quillstone
  fs::path support;  // folder/support
};
CachedWorkspace cachedWorkspacePlace(std::size_t count, int size, std::uint64_t seed);

// The cached workspace, generated first when missing or made by another generator version.
// Processes asking for the same workspace at once take turns (a lock file beside the folder),
// so it is generated once. None (with a line on standard error) when generation failed.
std::optional<CachedWorkspace> cachedWorkspace(std::size_t count, int size, std::uint64_t seed);

}  // namespace qs::bench
