// The desktop's search on the 10,000-document workspace: what the shell waits for on each
// keystroke (a result set, then the metas of the first results), in the provider's own process
// and as the shell meets it, over a private session bus that starts the built provider.
//
// The index is built once per run from the cached workspace, beside it, as the app's launch
// rebuild builds it.
#include <benchmark/benchmark.h>
#include <gio/gio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "bench/workspace_generator.h"
#include "core/identity.h"
#include "library/library.h"
#include "preview/search_index.h"
#include "preview/search_index_reader.h"

namespace {

namespace fs = std::filesystem;
using namespace qs;

constexpr std::size_t kDocuments = 10'000;
constexpr int kWords = 300;
constexpr std::uint64_t kSeed = 1;
constexpr std::size_t kShown = 5;  // the shell shows a handful of results per program

// The support folder holding a fresh index of the cached workspace; none when there is none.
const fs::path* indexedSupport() {
  static std::optional<fs::path> support = []() -> std::optional<fs::path> {
    auto ws = bench::cachedWorkspace(kDocuments, kWords, kSeed);
    if (!ws) return std::nullopt;
    const fs::path folder = ws->folder / "search-provider-bench";
    std::error_code ec;
    fs::remove_all(folder, ec);
    const auto started = std::chrono::steady_clock::now();
    {
      library::Library lib(ws->root, ws->support, {});
      auto index = makeSQLiteSearchIndex(folder / "search-index.sqlite3", true);
      index->reindex(lib.documents());
      index->flush();
    }
    std::fprintf(stderr, "search index of %zu documents built in %.1f s\n", kDocuments,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return folder;
  }();
  return support ? &*support : nullptr;
}

std::vector<std::string> termsOf(const char* query) {
  std::vector<std::string> terms;
  gchar** words = g_strsplit(query, " ", -1);
  for (gchar** w = words; *w; ++w) terms.emplace_back(*w);
  g_strfreev(words);
  return terms;
}

std::vector<std::string> first(std::vector<std::string> ids) {
  if (ids.size() > kShown) ids.resize(kShown);
  return ids;
}

void BM_ReaderKeystroke(benchmark::State& state, const char* query) {
  const fs::path* support = indexedSupport();
  if (!support) {
    state.SkipWithError("no workspace");
    return;
  }
  SearchIndexReader reader(*support / "search-index.sqlite3");
  const auto terms = termsOf(query);
  std::size_t found = 0;
  for (auto _ : state) {
    const auto ids = reader.resultSet(terms);
    found = ids.size();
    benchmark::DoNotOptimize(reader.resultMetas(first(ids), terms));
  }
  state.counters["results"] = static_cast<double>(found);
}

// A private session bus whose services are the build's own (test-dbus/services).
class PrivateBus {
 public:
  explicit PrivateBus(const fs::path& support) {
    setenv("QUILLSTONE_SUPPORT", support.c_str(), 1);  // handed on to what the bus starts
    bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_add_service_dir(bus_, QS_TEST_DBUS_SERVICES);
    g_test_dbus_up(bus_);
    connection_ = g_dbus_connection_new_for_address_sync(
        g_test_dbus_get_bus_address(bus_),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
  }
  ~PrivateBus() {
    if (connection_) g_object_unref(connection_);
    g_test_dbus_down(bus_);
    g_object_unref(bus_);
  }

  // The provider's process, once the bus has started it; 0 when unknown.
  unsigned providerPid() {
    GVariant* answer = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID", g_variant_new("(s)", identity::kSearchProviderBusName.data()),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 10'000, nullptr, nullptr);
    unsigned pid = 0;
    if (answer) {
      g_variant_get(answer, "(u)", &pid);
      g_variant_unref(answer);
    }
    return pid;
  }

  // One method of the provider; null when it failed.
  GVariant* call(const char* method, GVariant* parameters) {
    return g_dbus_connection_call_sync(connection_, "app.quillstone.Quillstone.SearchProvider",
                                       "/app/quillstone/Quillstone/SearchProvider",
                                       "org.gnome.Shell.SearchProvider2", method, parameters,
                                       nullptr, G_DBUS_CALL_FLAGS_NONE, 10'000, nullptr, nullptr);
  }

 private:
  GTestDBus* bus_ = nullptr;
  GDBusConnection* connection_ = nullptr;
};

// User and system CPU time of a process so far, in seconds (clock ticks: coarse, so averaged
// over many calls).
double cpuSeconds(unsigned pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto after_name = line.rfind(')');
  if (after_name == std::string::npos) return 0;
  std::istringstream fields(line.substr(after_name + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    if (i == 15) break;
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

GVariant* stringsVariant(const std::vector<std::string>& items) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
  for (const auto& item : items) g_variant_builder_add(&builder, "s", item.c_str());
  return g_variant_builder_end(&builder);
}

void BM_DBusKeystroke(benchmark::State& state, const char* query) {
  const fs::path* support = indexedSupport();
  if (!support) {
    state.SkipWithError("no workspace");
    return;
  }
  static PrivateBus bus(*support);
  const auto terms = termsOf(query);
  // The first call starts the provider; that is not a keystroke.
  if (GVariant* warm =
          bus.call("GetInitialResultSet", g_variant_new("(@as)", stringsVariant(terms)))) {
    g_variant_unref(warm);
  } else {
    state.SkipWithError("the provider didn't answer");
    return;
  }
  const unsigned pid = bus.providerPid();
  const double cpu_before = cpuSeconds(pid);
  std::size_t found = 0;
  for (auto _ : state) {
    GVariant* results =
        bus.call("GetInitialResultSet", g_variant_new("(@as)", stringsVariant(terms)));
    std::vector<std::string> ids;
    GVariantIter* iter = nullptr;
    g_variant_get(results, "(as)", &iter);
    const char* id = nullptr;
    while (g_variant_iter_next(iter, "&s", &id)) ids.emplace_back(id);
    g_variant_iter_free(iter);
    g_variant_unref(results);
    found = ids.size();
    GVariant* metas =
        bus.call("GetResultMetas", g_variant_new("(@as)", stringsVariant(first(ids))));
    benchmark::DoNotOptimize(metas);
    g_variant_unref(metas);
  }
  state.counters["results"] = static_cast<double>(found);
  // The client waits; the work is the provider's.
  state.counters["provider_cpu_ms"] =
      1000 * (cpuSeconds(pid) - cpu_before) / static_cast<double>(state.iterations());
}

// A word in about half the documents, the commonest word, one letter (every word beginning with
// it), and two words with the last one half typed.
#define QS_KEYSTROKES(bm)                                                      \
  BENCHMARK_CAPTURE(bm, word, "lighthouse")->Unit(benchmark::kMillisecond);    \
  BENCHMARK_CAPTURE(bm, commonest_word, "the")->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(bm, one_letter, "t")->Unit(benchmark::kMillisecond);       \
  BENCHMARK_CAPTURE(bm, two_words, "harbour li")->Unit(benchmark::kMillisecond);
QS_KEYSTROKES(BM_ReaderKeystroke)
QS_KEYSTROKES(BM_DBusKeystroke)

}  // namespace
