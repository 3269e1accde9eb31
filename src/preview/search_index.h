// The search index: one entry per live document of the writing folder, so that documents can be
// found by their words without opening the app. An SQLite database with an FTS5 table in the
// support folder ("search-index.sqlite3"). update and reindex build entries on the index's own
// serial queue, in the order they were asked for; remove runs on the caller's thread.
// Reserved documents (ids beginning with "_") and archived documents are never indexed.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/event_loop.h"
#include "core/json.h"

namespace qs {

class SearchIndex {
 public:
  // The fields of one entry, as built from a document.
  struct Item {
    std::string id;
    std::string title;               // also the display name
    std::string description;         // non-empty node texts joined by spaces, first 300 characters
    std::string text;                // title, node texts, bullets not written by the AI
    std::string path;                // the package path
    std::optional<double> modified;  // seconds since 1970
    std::optional<double> created;
  };
  struct Hit {
    std::string id;
    std::string title;
    std::string path;
  };
  using Documents = std::map<std::string, std::pair<json::object, std::filesystem::path>>;

  // A document to bring up to date. `stamp` names the package and the version of its document
  // file (path, file identity, size and time: see library::searchStamp); an entry is built
  // again only when its stamp changed. `previous` is the stamp the index held when the change
  // was worked out: a change is passed over when a write has moved the entry on since.
  struct Change {
    std::string id;
    json::object doc;
    std::filesystem::path package;
    std::string stamp;
    std::string previous;
  };

  virtual ~SearchIndex() = default;
  virtual void update(const std::string& id, const json::object& doc,
                      const std::filesystem::path& package, const std::string& stamp = {}) = 0;
  // id → stamp of every document the index has looked at (indexed or left out). Waits for the
  // work already queued.
  virtual std::map<std::string, std::string> stamps() = 0;
  // Applies `changed` (entries made again) and `removed` (entries dropped; only id and
  // previous are read) in one transaction, on the index's queue.
  virtual void refresh(std::vector<Change> changed, std::vector<Change> removed) = 0;
  virtual void remove(const std::string& id) = 0;
  virtual void reindex(Documents documents) = 0;
  // Matching documents, best first. Waits for the work already queued.
  virtual std::vector<Hit> search(const std::string& query, std::size_t limit = 50) = 0;
  // Waits until the work queued so far is done (tests, the command-line tool).
  virtual void flush() = 0;

  static Item item(const std::string& id, const json::object& doc,
                   const std::filesystem::path& package);

  // Indexing is on unless QUILLSTONE_DEBUG is set without QUILLSTONE_SPOTLIGHT.
  static bool enabledByEnvironment();

  // Which words of a query match as the start of a word: the last one, as the app's search and
  // the command line read what is typed, or every one, as the desktop's search hands over each
  // word typed so far.
  enum class Prefixes { kLastWord, kEveryWord };
  // The user's words as an FTS5 query that can only ever mean "these words"; empty when no
  // word is left.
  static std::string matchExpression(std::string_view query,
                                     Prefixes prefixes = Prefixes::kLastWord);

  // The database's `user_version`; another value means the tables hold something else (and are
  // made again, then filled by the next rebuild).
  static constexpr int kSchemaVersion = 3;
};

// The SQLite index at `database`. When `enabled` is false nothing is indexed or removed and no
// file is made.
std::unique_ptr<SearchIndex> makeSQLiteSearchIndex(
    const std::filesystem::path& database, bool enabled = SearchIndex::enabledByEnvironment());

}  // namespace qs
