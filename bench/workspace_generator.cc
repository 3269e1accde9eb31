#include "bench/workspace_generator.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "core/digest.h"
#include "core/file_io.h"
#include "library/package.h"

namespace qs::bench {

namespace {

// Common words first: picks lean towards the front of the list, so the text has the skew of
// real prose (many "the", few "lantern") and compresses and lays out like it.
constexpr std::string_view kWords[] = {
    "the",       "and",      "of",       "to",        "a",          "in",         "that",
    "it",        "was",      "for",      "on",        "with",       "as",         "I",
    "we",        "she",      "he",       "they",      "but",        "not",        "at",
    "this",      "from",     "by",       "had",       "were",       "would",      "there",
    "what",      "all",      "when",     "one",       "so",         "if",         "out",
    "about",     "who",      "their",    "could",     "into",       "more",       "time",
    "only",      "some",     "then",     "than",      "like",       "just",       "over",
    "after",     "still",    "never",    "always",    "every",      "again",      "before",
    "because",   "through",  "while",    "almost",    "morning",    "evening",    "window",
    "river",     "stone",    "paper",    "letter",    "garden",     "house",      "road",
    "water",     "light",    "voice",    "hand",      "door",       "table",      "street",
    "city",      "winter",   "summer",   "kitchen",   "station",    "harbour",    "market",
    "chapter",   "sentence", "draft",    "story",     "meeting",    "plan",       "question",
    "answer",    "reason",   "memory",   "silence",   "weather",    "journey",    "mother",
    "father",    "brother",  "friend",   "neighbour", "teacher",    "stranger",   "quiet",
    "bright",    "small",    "old",      "new",       "long",       "early",      "late",
    "careful",   "strange",  "warm",     "cold",      "heavy",      "simple",     "open",
    "narrow",    "green",    "grey",     "golden",    "distant",    "patient",    "honest",
    "walked",    "waited",   "wrote",    "read",      "listened",   "remembered", "noticed",
    "carried",   "turned",   "opened",   "followed",  "forgot",     "finished",   "began",
    "lantern",   "thread",   "compass",  "orchard",   "lighthouse", "archive",    "ledger",
    "notebook",  "ferry",    "bridge",   "meadow",    "chimney",    "porch",      "attic",
    "violin",    "telegram", "umbrella", "bicycle",   "postcard",   "horizon",    "tide",
    "harvest",   "frost",    "ember",    "willow",    "granite",    "copper",     "velvet",
    "whisper",   "rumour",   "promise",  "argument",  "apology",    "decision",   "deadline",
    "budget",    "outline",  "revision", "margin",    "footnote",   "paragraph",  "theme",
    "character", "scene",    "ending",   "beginning", "pattern",    "detail",     "evidence",
    "slowly",    "suddenly", "perhaps",  "together"};

// Titles many documents share, so that the folder fills with "Meeting notes 2", "… 3".
constexpr std::string_view kSharedTitles[] = {
    "Meeting notes", "Ideas",       "Journal", "Draft",         "Reading list", "Notes",
    "Weekly review", "Chapter one", "Outline", "Letter to Sam", "To do",        "Untitled draft"};

// Two or three words in each, so that titles other than the shared ones rarely meet by chance.
constexpr std::string_view kTitleShapes[] = {"{A} {N}",
                                             "On {N}s and {N}s",
                                             "The {N} and the {N}",
                                             "{N} {N}: first thoughts",
                                             "Notes on the {A} {N}",
                                             "Plans for the {N} {N}",
                                             "{A} {N}/{N} draft",
                                             "Letter about the {N} and the {N}"};

constexpr std::int64_t kEpochMs = 1'640'995'200'000;  // 2022-01-01
constexpr std::int64_t kDayMs = 86'400'000;

// splitmix64: a small, fully specified generator, so a seed gives the same workspace with any
// standard library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // In [0, n).
  std::size_t below(std::size_t n) { return n ? static_cast<std::size_t>(next() % n) : 0; }
  // In [lo, hi].
  int between(int lo, int hi) { return lo + static_cast<int>(below(hi - lo + 1)); }
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }

 private:
  std::uint64_t state_;
};

std::uint64_t stream(std::uint64_t seed, std::uint64_t index, std::uint64_t purpose) {
  Random r(seed ^ (index * 0xD1B54A32D192ED03ULL) ^ (purpose << 56));
  return r.next();
}

std::string_view word(Random& r) {
  // Squaring a uniform fraction favours the start of the list.
  const double u = static_cast<double>(r.next() >> 11) * 0x1.0p-53;
  return kWords[static_cast<std::size_t>(u * u * std::size(kWords))];
}

std::string capitalised(std::string_view w) {
  std::string s(w);
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

// Words of sentences, punctuation attached: "The", "river", "was", "quiet."
std::vector<std::string> sentenceWords(Random& r, int count) {
  std::vector<std::string> out;
  int left_in_sentence = 0;
  for (int i = 0; i < count; ++i) {
    if (left_in_sentence == 0) left_in_sentence = r.between(6, 18);
    std::string w = out.empty() || out.back().ends_with('.') || out.back().ends_with('?')
                        ? capitalised(word(r))
                        : std::string(word(r));
    --left_in_sentence;
    if (left_in_sentence == 0 || i + 1 == count) {
      w += r.chance(0.1) ? "?" : ".";
      left_in_sentence = 0;
    } else if (r.chance(0.06)) {
      w += ",";
    }
    out.push_back(std::move(w));
  }
  return out;
}

std::string joined(const std::vector<std::string>& words, std::size_t from, std::size_t to) {
  std::string s;
  for (std::size_t i = from; i < to; ++i) {
    if (i > from) s += ' ';
    s += words[i];
  }
  return s;
}

json::array marksFor(Random& r) {
  auto mark = [](const char* type) { return json::object{{"type", type}}; };
  const std::size_t pick = r.below(20);
  if (pick < 8) return json::array{mark("bold")};
  if (pick < 15) return json::array{mark("italic")};
  if (pick < 18) return json::array{mark("highlight")};
  return json::array{mark("bold"), mark("italic")};
}

// A paragraph's words as runs: plain stretches with now and then a few marked words. The space
// between two runs goes to the plain one where there is one, as an editor would keep it.
json::array runs(Random& r, const std::vector<std::string>& words) {
  struct Stretch {
    std::size_t from, to;
    bool marked;
  };
  std::vector<Stretch> stretches;
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (!r.chance(0.05)) continue;
    const std::size_t end = std::min(words.size(), i + r.between(1, 4));
    if (i > plain_from) stretches.push_back({plain_from, i, false});
    stretches.push_back({i, end, true});
    plain_from = end;
    i = end - 1;
  }
  if (plain_from < words.size()) stretches.push_back({plain_from, words.size(), false});

  json::array out;
  for (std::size_t s = 0; s < stretches.size(); ++s) {
    const Stretch& st = stretches[s];
    std::string text = joined(words, st.from, st.to);
    if (s > 0 && stretches[s - 1].marked) text.insert(text.begin(), ' ');
    if (!st.marked && s + 1 < stretches.size()) text += ' ';
    json::object run{{"text", std::move(text)}};
    if (st.marked) run["marks"] = marksFor(r);
    out.push_back(std::move(run));
  }
  return out;
}

class IdMaker {
 public:
  std::string next() { return "n-" + std::to_string(++n_); }

 private:
  int n_ = 0;
};

json::array bullets(Random& r, IdMaker& ids, int depth) {
  json::array out;
  const int count = depth == 0 ? r.between(1, 3) : r.between(1, 2);
  for (int i = 0; i < count; ++i) {
    json::object b;
    b["id"] = ids.next();
    auto words = sentenceWords(r, r.between(5, 25));
    b["content"] = json::array{json::object{{"text", joined(words, 0, words.size())}}};
    if (r.chance(0.25)) b["ai"] = true;
    if (r.chance(0.1)) b["anchor"] = true;
    if (depth < 3 && r.chance(0.25)) b["children"] = bullets(r, ids, depth + 1);
    out.push_back(std::move(b));
  }
  return out;
}

std::string titleFor(Random& r) {
  if (r.chance(0.03)) return "";  // named by its first words
  if (r.chance(0.15)) return std::string(kSharedTitles[r.below(std::size(kSharedTitles))]);
  if (r.chance(0.01)) {
    // Longer than a file name may be: cut to 80 characters.
    std::string t;
    while (t.size() < 110) t += (t.empty() ? capitalised(word(r)) : " " + std::string(word(r)));
    return t;
  }
  std::string shape(kTitleShapes[r.below(std::size(kTitleShapes))]);
  std::string t;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape.compare(i, 3, "{A}") == 0 || shape.compare(i, 3, "{N}") == 0) {
      // Any word past the function words reads well enough in a title.
      std::string w(kWords[60 + r.below(std::size(kWords) - 60)]);
      t += i == 0 ? capitalised(w) : w;
      i += 2;
    } else {
      t += shape[i];
    }
  }
  return t;
}

std::string largePNGDataURL(Random& r) {
  // Not a decodable picture: the library stores it by content hash, the preview keeps it as it
  // is when it can't read its size, and the thumbnail draws no images.
  std::string bytes(static_cast<std::size_t>(r.between(3'000, 60'000)), '\0');
  for (auto& b : bytes) b = static_cast<char>(r.next() & 0xFF);
  const std::string_view signature("\x89PNG\r\n\x1a\n", 8);
  std::copy(signature.begin(), signature.end(), bytes.begin());
  return "data:image/png;base64," + digest::base64Encode(bytes);
}

json::object paragraph(Random& r, IdMaker& ids, int words) {
  json::object node;
  node["id"] = ids.next();
  node["content"] = runs(r, sentenceWords(r, words));
  if (r.chance(0.3)) node["children"] = bullets(r, ids, 0);
  return node;
}

bool hasPackageIn(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == library::kPackageExtension) return true;
  }
  return false;
}

std::int64_t revFor(std::size_t index, std::uint64_t seed) {
  Random r(stream(seed, index, 2));
  return r.between(1, 40);
}

}  // namespace

json::object makeDocument(std::size_t index, int size, std::uint64_t seed) {
  Random r(stream(seed, index, 1));
  IdMaker ids;
  json::object doc;
  doc["id"] = "d-" + std::to_string(index);
  doc["title"] = titleFor(r);
  const std::int64_t created =
      kEpochMs + static_cast<std::int64_t>(index) * (kDayMs / 40) + r.between(0, 3'600'000);
  doc["created"] = created;
  doc["updated"] = created + static_cast<std::int64_t>(r.below(60)) * kDayMs + r.between(0, 1000);
  doc["archived"] = r.chance(0.03);

  json::array nodes;
  // Between half and one and a half times `size` words.
  int words_left =
      std::max(1, static_cast<int>(size * (0.5 + static_cast<double>(r.below(1001)) / 1000)));
  const bool with_image = r.chance(0.03);
  const std::size_t image_at = r.below(4);
  while (words_left > 0) {
    if (with_image && nodes.size() == image_at) {
      json::object node;
      node["id"] = ids.next();
      node["image"] = json::object{{"src", largePNGDataURL(r)}};
      node["content"] = json::array{json::object{{"text", joined(sentenceWords(r, 6), 0, 6)}}};
      nodes.push_back(std::move(node));
    }
    if (r.chance(0.12)) {
      json::object heading;
      heading["id"] = ids.next();
      const std::size_t l = r.below(10);
      heading["level"] = l < 6 ? 1 : l < 9 ? 2 : 3;
      auto words = sentenceWords(r, r.between(2, 6));
      std::string text = joined(words, 0, words.size());
      if (!text.empty() && (text.back() == '.' || text.back() == '?')) text.pop_back();
      heading["content"] = json::array{json::object{{"text", std::move(text)}}};
      nodes.push_back(std::move(heading));
    }
    const int words = std::min(words_left, r.between(20, 100));
    nodes.push_back(paragraph(r, ids, words));
    words_left -= words;
  }
  doc["nodes"] = std::move(nodes);
  return doc;
}

json::object recordFor(const json::object& doc, std::int64_t rev) {
  json::object record;
  record["id"] = doc.at("id");
  record["rev"] = rev;
  record["updated"] = doc.contains("updated") ? doc.at("updated") : json::value(0);
  record["deleted"] = false;
  record["deletedAt"] = nullptr;
  record["doc"] = doc;
  return record;
}

json::object editDocument(const json::object& doc, int edit) {
  json::object out = doc;
  Random r(stream(0x5EED, static_cast<std::uint64_t>(edit), 3));
  if (json::value* nodes = out.if_contains("nodes"); nodes && nodes->is_array()) {
    for (auto& node : nodes->get_array()) {
      json::object* o = node.if_object();
      if (!o || o->contains("level") || o->contains("image")) continue;
      json::value* content = o->if_contains("content");
      if (!content || !content->is_array()) continue;
      auto words = sentenceWords(r, r.between(6, 14));
      content->get_array().push_back(json::object{
          {"text", " " + joined(words, 0, words.size()) + " (" + std::to_string(edit) + ")"}});
      break;
    }
  }
  const double updated = json::asNumber(out["updated"]).value_or(0);
  out["updated"] = static_cast<std::int64_t>(updated) + 60'000LL * (edit + 1);
  return out;
}

json::object workspaceMeta(const std::vector<std::string>& ids, std::uint64_t seed) {
  Random r(stream(seed, 0, 4));
  std::vector<std::string> order;
  for (const auto& id : ids) {
    if (!r.chance(0.05)) order.push_back(id);  // the rest rank by `created`
  }
  for (std::size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[r.below(i)]);
  json::array order_json;
  for (auto& id : order) order_json.push_back(json::value(std::move(id)));
  char workspace_id[40];
  std::snprintf(workspace_id, sizeof workspace_id, "%08x-%04x-4%03x-a%03x-%012llx",
                static_cast<unsigned>(r.next()), static_cast<unsigned>(r.next() & 0xFFFF),
                static_cast<unsigned>(r.next() & 0xFFF), static_cast<unsigned>(r.next() & 0xFFF),
                static_cast<unsigned long long>(r.next() & 0xFFFFFFFFFFFFULL));
  return json::object{
      {"key", "workspace"},
      {"schema", 3},
      {"workspace", json::object{{"id", workspace_id},
                                 {"owner", json::object{{"id", "local"}, {"name", "You"}}},
                                 {"created", kEpochMs}}},
      {"groups", json::array{}},
      {"ui", json::object{}},
      {"order", std::move(order_json)},
      {"migratedFrom", nullptr}};
}

Generated generateWorkspace(const fs::path& root, const fs::path& support, std::size_t count,
                            int size, std::uint64_t seed, const GenerateOptions& options) {
  Generated result;
  if (hasPackageIn(root) || hasPackageIn(root / library::kArchiveFolder)) {
    result.error = root.string() + " already holds packages";
    return result;
  }
  std::string error;
  if (!file_io::createFolders(root / library::kArchiveFolder, &error) ||
      !file_io::createFolders(support, &error)) {
    result.error = error;
    return result;
  }

  // Names first, in document order, as the library would hand them out writing one document
  // after another into an empty folder.
  std::vector<fs::path> packages(count);
  std::map<fs::path, std::set<std::string>> taken;
  for (std::size_t i = 0; i < count; ++i) {
    const json::object doc = makeDocument(i, size, seed);
    const std::string id(doc.at("id").get_string());
    result.ids.push_back(id);
    const library::Placement place = library::placement(id, doc, root, support);
    auto& names = taken[place.folder];
    std::string name = place.base_name;
    for (unsigned long n = 2; names.contains(name); ++n) {
      name = place.base_name + " " + std::to_string(n);
    }
    if (name != place.base_name) ++result.renamed;
    names.insert(name);
    packages[i] = place.folder / (name + std::string(library::kPackageExtension));
    if (json::isTrueFlag(doc.if_contains("archived"))) ++result.archived;
    if (json::findString(doc, "title").value_or("").empty()) ++result.untitled;
    for (const auto& node : doc.at("nodes").get_array()) {
      if (node.get_object().contains("image")) ++result.with_large_image;
    }
  }

  std::atomic<std::size_t> next{0}, done{0}, failed{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < count; i = next++) {
      const json::object doc = makeDocument(i, size, seed);
      if (!library::writePackage(packages[i], recordFor(doc, revFor(i, seed)), doc)) ++failed;
      const std::size_t n = ++done;
      if (options.progress && (n % 250 == 0 || n == count)) options.progress(n);
    }
  };
  const unsigned threads =
      options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
  for (auto& t : pool) t.join();
  result.failed = failed;

  json::object ledger;
  for (std::size_t i = 0; i < count; ++i) ledger[result.ids[i]] = packages[i].string();
  const auto meta_text = json::pretty(workspaceMeta(result.ids, seed));
  const auto ledger_text = json::pretty(ledger);
  if (!meta_text || !ledger_text ||
      !file_io::writeAtomically(support / "workspace.json", *meta_text,
                                file_io::Durability::kSurvivesCrash, &error) ||
      !file_io::writeAtomically(support / "ledger.json", *ledger_text,
                                file_io::Durability::kSurvivesCrash, &error)) {
    result.error = error.empty() ? "the support files can't be written as JSON" : error;
  }
  return result;
}

CachedWorkspace cachedWorkspacePlace(std::size_t count, int size, std::uint64_t seed) {
  const std::string key =
      std::to_string(count) + "-" + std::to_string(seed) + "-" + std::to_string(size);
  const char* base = std::getenv("QUILLSTONE_BENCH_DIR");
  const fs::path folder = base && *base ? fs::path(base) / key
                                        : fs::temp_directory_path() / ("quillstone-bench-" + key);
  return {folder, folder / "Quillstone", folder / "support"};
}

std::optional<CachedWorkspace> cachedWorkspace(std::size_t count, int size, std::uint64_t seed) {
  static std::mutex mutex;  // two threads asking at once generate once
  std::lock_guard lock(mutex);
  const CachedWorkspace place = cachedWorkspacePlace(count, size, seed);
  // And two processes: the lock goes when the descriptor is closed, however the process ends.
  const std::string lock_path = place.folder.string() + ".lock";
  (void)file_io::createFolders(place.folder.parent_path());
  const int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0 || ::flock(lock_fd, LOCK_EX) != 0) {
    std::fprintf(stderr, "Can't lock %s: %s\n", lock_path.c_str(), std::strerror(errno));
    if (lock_fd >= 0) ::close(lock_fd);
    return std::nullopt;
  }
  struct Unlock {
    int fd;
    ~Unlock() { ::close(fd); }
  } unlock{lock_fd};

  const fs::path stamp = place.folder / "generated.json";
  const json::object expected{{"version", kGeneratorVersion},
                              {"count", static_cast<std::uint64_t>(count)},
                              {"size", size},
                              {"seed", seed}};
  if (auto text = file_io::readFile(stamp)) {
    if (auto parsed = json::parse(*text); parsed && *parsed == json::value(expected)) return place;
  }
  std::error_code ec;
  fs::remove_all(place.folder, ec);
  std::fprintf(stderr, "Generating %zu documents into %s (once; reused by later runs)\n", count,
               place.folder.c_str());
  GenerateOptions options;
  options.progress = [count](std::size_t done) {
    if (done % 2000 == 0 || done == count) std::fprintf(stderr, "  %zu/%zu\n", done, count);
  };
  const Generated generated =
      generateWorkspace(place.root, place.support, count, size, seed, options);
  if (!generated.error.empty() || generated.failed) {
    std::fprintf(stderr, "Generating %s failed: %s (%zu packages not written)\n",
                 place.folder.c_str(), generated.error.c_str(), generated.failed);
    return std::nullopt;
  }
  if (!file_io::writeAtomically(stamp, *json::pretty(expected))) return std::nullopt;
  return place;
}

}  // namespace qs::bench
