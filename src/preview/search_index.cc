#include "preview/search_index.h"

#include <sqlite3.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/guarded.h"
#include "core/system_log.h"
#include "core/text.h"
#include "preview/counted_sqlite_vfs.h"
#include "preview/preview.h"

namespace qs {

namespace {

constexpr std::size_t kDescriptionLength = 300;
// Deeper subtext than this is hostile; the walk stops rather than risk the stack.
constexpr int kMaxBulletDepth = 256;
// A search is a handful of words; more only makes the query expensive.
constexpr std::size_t kMaxQueryWords = 64;
constexpr std::size_t kMaxHits = 10'000;
constexpr int kBusyTimeoutMs = 5000;
constexpr int kSchemaVersion = SearchIndex::kSchemaVersion;

// The FTS table reads its text from `documents` by rowid (external content). The desktop's search
// asks while the user types, so one to three letters are already a search: prefixes that short
// have indexes of their own, or each would merge the lists of hundreds of words. Every change goes
// through the statements below inside one transaction, so the two never disagree. The implicit
// rowids of `documents` would be renumbered by VACUUM, which is why nothing here runs it.
constexpr const char* kSchema = R"sql(
DROP TABLE IF EXISTS documents_fts;
DROP TABLE IF EXISTS documents;
DROP TABLE IF EXISTS unindexed;
CREATE TABLE documents(id TEXT PRIMARY KEY, title TEXT, display_name TEXT, description TEXT,
                       text TEXT, path TEXT, modified REAL, created REAL, stamp TEXT);
CREATE TABLE unindexed(id TEXT PRIMARY KEY, stamp TEXT);
CREATE VIRTUAL TABLE documents_fts USING fts5(title, description, text, content='documents',
                                              tokenize='unicode61 remove_diacritics 2',
                                              prefix='1 2 3');
)sql";

// Each row carries the stamp of the package it was built from (see SearchIndex::Change);
// `unindexed` holds the stamps of documents looked at and left out (archived ones), so that an
// unchanged library is brought up to date without reading any document.
// The FTS index's entry for a row is removed with the row's own stored values, so that what is
// taken out is exactly what went in.
constexpr std::string_view kUnindexRow =
    "INSERT INTO documents_fts(documents_fts, rowid, title, description, text) "
    "SELECT 'delete', rowid, title, description, text FROM documents WHERE id = ?1";
constexpr std::string_view kDeleteRow = "DELETE FROM documents WHERE id = ?1";
constexpr std::string_view kDeleteUnindexed = "DELETE FROM unindexed WHERE id = ?1";
constexpr std::string_view kInsertUnindexed = "INSERT INTO unindexed(id, stamp) VALUES(?1, ?2)";
constexpr std::string_view kSetStamp = "UPDATE documents SET stamp = ?2 WHERE id = ?1";
constexpr std::string_view kStampOf =
    "SELECT stamp FROM documents WHERE id = ?1 UNION ALL SELECT stamp FROM unindexed WHERE id = ?1";
constexpr std::string_view kAllStamps =
    "SELECT id, stamp FROM documents UNION ALL SELECT id, stamp FROM unindexed";
constexpr std::string_view kInsertRow =
    "INSERT INTO documents(id, title, display_name, description, text, path, modified, created) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
constexpr std::string_view kIndexRow =
    "INSERT INTO documents_fts(rowid, title, description, text) "
    "SELECT rowid, title, description, text FROM documents WHERE id = ?1";
// A title match counts most, then the description, then the body.
constexpr std::string_view kSearch =
    "SELECT d.id, d.title, d.path FROM "
    "(SELECT rowid, bm25(documents_fts, 10.0, 3.0, 1.0) AS score FROM documents_fts "
    " WHERE documents_fts MATCH ?1 ORDER BY score LIMIT ?2) AS m "
    "JOIN documents AS d ON d.rowid = m.rowid ORDER BY m.score";

bool isReserved(std::string_view id) {
  return id.starts_with('_');
}

bool isArchived(const json::object& doc) {
  return json::isTrueFlag(json::find(doc, "archived"));
}

// Written by the AI: an `ai` member with any value but null, false included.
bool isAIWritten(const json::object& bullet) {
  const json::value* ai = json::find(bullet, "ai");
  return ai && !ai->is_null();
}

void appendSubtext(const json::array& bullets, int depth, std::string& text) {
  if (depth >= kMaxBulletDepth) return;
  for (const json::value& value : bullets) {
    const json::object* bullet = value.if_object();
    if (!bullet) continue;
    if (!isAIWritten(*bullet)) {
      text += '\n';
      text += Preview::plain(*bullet);
    }
    if (const json::array* children = json::findArray(*bullet, "children")) {
      appendSubtext(*children, depth + 1, text);
    }
  }
}

std::optional<double> seconds(const json::object& doc, std::string_view key) {
  const json::value* v = json::find(doc, key);
  if (!v) return std::nullopt;
  if (auto ms = json::asNumber(*v)) return *ms / 1000;
  return std::nullopt;
}

// The characters FTS5's tokenizer keeps in a token (its default categories L*, N* and Co).
bool isTokenCharacter(UChar32 c) {
  return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_N_MASK | U_GC_CO_MASK)) != 0;
}

// The user's words as an FTS5 query that can only ever mean "these words": each word becomes
// a quoted string (inner quotes doubled), so FTS5's operators, column filters and parentheses
// are read as text; the last word (or every word) matches as a prefix, so results come while
// typing. Words the tokenizer would reduce to nothing are dropped: an empty phrase would match no
// document. Empty when no word is left.
std::string matchExpressionFor(std::string_view query,
                               SearchIndex::Prefixes prefixes = SearchIndex::Prefixes::kLastWord) {
  // Invalid UTF-8 becomes U+FFFD, which the tokenizer treats as a separator.
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(
      query.data(), static_cast<int32_t>(std::min<std::size_t>(query.size(), INT32_MAX))));
  std::vector<std::string> words;
  icu::UnicodeString word;
  bool has_token_character = false;
  auto finishWord = [&] {
    if (has_token_character && words.size() < kMaxQueryWords) {
      std::string utf8;
      word.toUTF8String(utf8);
      words.push_back(std::move(utf8));
    }
    word.remove();
    has_token_character = false;
  };
  for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
    const UChar32 c = text.char32At(i);
    // Controls (NUL among them) separate words like white space does.
    if (u_isUWhiteSpace(c) || (U_GET_GC_MASK(c) & U_GC_CC_MASK) != 0) {
      finishWord();
      continue;
    }
    word.append(c);
    has_token_character = has_token_character || isTokenCharacter(c);
  }
  finishWord();

  std::string expression;
  for (const std::string& w : words) {
    if (!expression.empty()) expression += " AND ";
    expression += '"';
    expression += text::replaceAll(w, "\"", "\"\"");
    expression += '"';
    if (prefixes == SearchIndex::Prefixes::kEveryWord) expression += '*';
  }
  if (!expression.empty() && prefixes == SearchIndex::Prefixes::kLastWord) expression += '*';
  return expression;
}

bool isCorruption(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// One prepared statement; SQL text is always a constant and values are always bound.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql) {
    rc_ = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int rc() const { return rc_; }

  void bind(int index, std::string_view value) {
    if (rc_ == SQLITE_OK) {
      rc_ = sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT,
                                SQLITE_UTF8);
    }
  }
  void bind(int index, sqlite3_int64 value) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, index, value);
  }
  void bind(int index, std::optional<double> value) {
    if (rc_ != SQLITE_OK) return;
    rc_ = value ? sqlite3_bind_double(stmt_, index, *value) : sqlite3_bind_null(stmt_, index);
  }

  // SQLITE_ROW while rows come, then SQLITE_DONE; an error code stops the statement.
  int step() {
    if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW) return rc_;
    rc_ = sqlite3_step(stmt_);
    return rc_;
  }
  // Runs the statement to the end: SQLITE_OK or the error.
  int run() {
    while (step() == SQLITE_ROW) {
    }
    return rc_ == SQLITE_DONE ? SQLITE_OK : rc_;
  }
  // Makes the statement ready to run again with new values.
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    if (stmt_) rc_ = SQLITE_OK;
  }

  std::string text(int column) const {
    const auto* bytes = sqlite3_column_text(stmt_, column);
    return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
  }
  sqlite3_int64 integer(int column) const { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_OK;
};

// BEGIN IMMEDIATE takes the write lock at once, so a busy database waits in busy_timeout
// rather than failing halfway through. Rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
    rc_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  }
  ~Transaction() {
    if (rc_ == SQLITE_OK && !committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  int rc() const { return rc_; }
  int commit() {
    const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    committed_ = rc == SQLITE_OK;
    return rc;
  }

 private:
  sqlite3* db_;
  int rc_;
  bool committed_ = false;
};

int removeRow(sqlite3* db, const std::string& id) {
  Statement unindex(db, kUnindexRow);
  unindex.bind(1, id);
  if (int rc = unindex.run(); rc != SQLITE_OK) return rc;
  Statement erase(db, kDeleteRow);
  erase.bind(1, id);
  if (int rc = erase.run(); rc != SQLITE_OK) return rc;
  Statement unlisted(db, kDeleteUnindexed);
  unlisted.bind(1, id);
  return unlisted.run();
}

int setStamp(sqlite3* db, std::string_view table_statement, const std::string& id,
             const std::string& stamp) {
  if (stamp.empty()) return SQLITE_OK;
  Statement set(db, table_statement);
  set.bind(1, id);
  set.bind(2, stamp);
  return set.run();
}

int insertRow(Statement& insert, const SearchIndex::Item& item) {
  insert.reset();
  insert.bind(1, item.id);
  insert.bind(2, item.title);
  insert.bind(3, item.title);
  insert.bind(4, item.description);
  insert.bind(5, item.text);
  insert.bind(6, item.path);
  insert.bind(7, item.modified);
  insert.bind(8, item.created);
  return insert.run();
}

// The stamp a document is recorded with, empty when it has none (or isn't there).
std::string stampOf(sqlite3* db, const std::string& id) {
  Statement select(db, kStampOf);
  select.bind(1, id);
  return select.step() == SQLITE_ROW ? select.text(0) : std::string();
}

// Brings each changed document's entry up to date, and removes the entries of documents gone,
// in one transaction; any whose stamp moved on since `previous` was read is left to the write
// that moved it.
int applyChanges(sqlite3* db, const std::vector<SearchIndex::Change>& changed,
                 const std::vector<SearchIndex::Change>& removed) {
  Transaction transaction(db);
  if (transaction.rc() != SQLITE_OK) return transaction.rc();
  Statement insert(db, kInsertRow);
  for (const SearchIndex::Change& change : changed) {
    if (stampOf(db, change.id) != change.previous) continue;
    if (int rc = removeRow(db, change.id); rc != SQLITE_OK) return rc;
    if (isReserved(change.id) || isArchived(change.doc)) {
      if (int rc = setStamp(db, kInsertUnindexed, change.id, change.stamp); rc != SQLITE_OK)
        return rc;
      continue;
    }
    if (int rc = insertRow(insert, SearchIndex::item(change.id, change.doc, change.package));
        rc != SQLITE_OK)
      return rc;
    Statement index(db, kIndexRow);
    index.bind(1, change.id);
    if (int rc = index.run(); rc != SQLITE_OK) return rc;
    if (int rc = setStamp(db, kSetStamp, change.id, change.stamp); rc != SQLITE_OK) return rc;
  }
  for (const SearchIndex::Change& gone : removed) {
    if (stampOf(db, gone.id) != gone.previous) continue;
    if (int rc = removeRow(db, gone.id); rc != SQLITE_OK) return rc;
  }
  return transaction.commit();
}

int removeItem(sqlite3* db, const std::string& id) {
  Transaction transaction(db);
  if (transaction.rc() != SQLITE_OK) return transaction.rc();
  if (int rc = removeRow(db, id); rc != SQLITE_OK) return rc;
  return transaction.commit();
}

int replaceAllItems(sqlite3* db, const std::vector<SearchIndex::Item>& items) {
  Transaction transaction(db);
  if (transaction.rc() != SQLITE_OK) return transaction.rc();
  if (int rc = sqlite3_exec(db, "DELETE FROM documents; DELETE FROM unindexed", nullptr, nullptr,
                            nullptr);
      rc != SQLITE_OK) {
    return rc;
  }
  Statement insert(db, kInsertRow);
  for (const SearchIndex::Item& item : items) {
    if (int rc = insertRow(insert, item); rc != SQLITE_OK) return rc;
  }
  // Rebuilding from the content table also mends an FTS index that had drifted from it.
  if (int rc = sqlite3_exec(db, "INSERT INTO documents_fts(documents_fts) VALUES('rebuild')",
                            nullptr, nullptr, nullptr);
      rc != SQLITE_OK) {
    return rc;
  }
  return transaction.commit();
}

// Brings a freshly opened database to the current schema; a database of another version (or an
// empty file) is given new tables, since everything in it can be rebuilt from the library.
int prepareSchema(sqlite3* db) {
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // WAL lets the command-line tool search while the app writes. The journal mode is answered as
  // a row; a file system that can't do WAL keeps the old mode, which still works.
  if (int rc = Statement(db, "PRAGMA journal_mode=WAL").run(); rc != SQLITE_OK) return rc;
  if (int rc = sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
      rc != SQLITE_OK) {
    return rc;
  }
  Transaction transaction(db);
  if (transaction.rc() != SQLITE_OK) return transaction.rc();
  {
    // Finished before the tables are dropped, which a statement still open would refuse.
    Statement version(db, "PRAGMA user_version");
    if (version.step() != SQLITE_ROW) return version.rc();
    if (version.integer(0) == kSchemaVersion) return transaction.commit();
  }
  if (int rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr); rc != SQLITE_OK) return rc;
  const std::string set_version = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
  if (int rc = sqlite3_exec(db, set_version.c_str(), nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    return rc;
  }
  return transaction.commit();
}

// Work on the index's queue or a caller's thread never throws past this point: the index goes
// on without what failed.
template <typename F>
void indexGuarded(F&& f) noexcept {
  guarded(std::forward<F>(f), "the search index's work");
}

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

enum class Create { kNo, kYes };

class SQLiteSearchIndex final : public SearchIndex {
 public:
  explicit SQLiteSearchIndex(std::filesystem::path database)
      : path_(std::move(database)), queue_("quillstone.spotlight") {}

  void update(const std::string& id, const json::object& doc, const std::filesystem::path& package,
              const std::string& stamp) override {
    if (isReserved(id)) return;
    indexGuarded([&] {
      queue_.async([this, id, doc, package, stamp] {
        indexGuarded([&] {
          if (isArchived(doc) && stamp.empty()) {
            removeNow(id);
            return;
          }
          std::lock_guard lock(mutex_);
          if (sqlite3* db = openLocked(Create::kYes)) {
            // A write wins over whatever the entry was built from.
            Change change{id, doc, package, stamp, stampOf(db, id)};
            checkLocked(applyChanges(db, {change}, {}));
          }
        });
      });
    });
  }

  std::map<std::string, std::string> stamps() override {
    std::map<std::string, std::string> out;
    indexGuarded([&] {
      queue_.sync([&] {
        indexGuarded([&] {
          std::lock_guard lock(mutex_);
          sqlite3* db = openLocked(Create::kNo);
          if (!db) return;
          Statement select(db, kAllStamps);
          while (select.step() == SQLITE_ROW) out[select.text(0)] = select.text(1);
          if (select.rc() != SQLITE_DONE) {
            out.clear();
            checkLocked(select.rc());
          }
        });
      });
    });
    return out;
  }

  void refresh(std::vector<Change> changed, std::vector<Change> removed) override {
    indexGuarded([&] {
      queue_.async([this, changed = std::move(changed), removed = std::move(removed)] {
        indexGuarded([&] {
          std::lock_guard lock(mutex_);
          if (sqlite3* db = openLocked(Create::kYes))
            checkLocked(applyChanges(db, changed, removed));
        });
      });
    });
  }

  void remove(const std::string& id) override {
    indexGuarded([&] {
      removeNow(id);
      // An update asked for before this removal may still be waiting on the queue; removing
      // again behind it keeps a trashed document from coming back until the next rebuild.
      queue_.async([this, id] { indexGuarded([&] { removeNow(id); }); });
    });
  }

  void reindex(Documents documents) override {
    indexGuarded([&] {
      queue_.async([this, documents = std::move(documents)] {
        indexGuarded([&] {
          std::vector<Item> items;
          for (const auto& [id, entry] : documents) {
            if (isReserved(id) || isArchived(entry.first)) continue;
            items.push_back(item(id, entry.first, entry.second));
          }
          std::lock_guard lock(mutex_);
          if (sqlite3* db = openLocked(Create::kYes)) checkLocked(replaceAllItems(db, items));
        });
      });
    });
  }

  std::vector<Hit> search(const std::string& query, std::size_t limit) override {
    std::vector<Hit> hits;
    indexGuarded([&] {
      const std::string expression = matchExpressionFor(query);
      if (expression.empty() || limit == 0) return;
      // Running on the queue puts the search behind every update asked for before it.
      queue_.sync([&] {
        indexGuarded([&] {
          std::lock_guard lock(mutex_);
          sqlite3* db = openLocked(Create::kNo);
          if (!db) return;
          Statement select(db, kSearch);
          select.bind(1, expression);
          select.bind(2, static_cast<sqlite3_int64>(std::min(limit, kMaxHits)));
          while (select.step() == SQLITE_ROW) {
            hits.push_back(Hit{select.text(0), select.text(1), select.text(2)});
          }
          if (select.rc() != SQLITE_DONE) {
            hits.clear();
            checkLocked(select.rc());
          }
        });
      });
    });
    return hits;
  }

  void flush() override {
    indexGuarded([&] { queue_.sync([] {}); });
  }

 private:
  void removeNow(const std::string& id) {
    std::lock_guard lock(mutex_);
    // No database yet means nothing to remove; don't make one for it.
    if (sqlite3* db = openLocked(Create::kNo)) checkLocked(removeItem(db, id));
  }

  // The open database, opening it on first use; null when there is none to use.
  sqlite3* openLocked(Create create) {
    if (db_) return db_.get();
    std::error_code ec;
    if (create == Create::kNo && !std::filesystem::exists(path_, ec)) return nullptr;
    if (path_.has_parent_path()) std::filesystem::create_directories(path_.parent_path(), ec);

    for (int attempt = 0; attempt < 2; ++attempt) {
      sqlite3* raw = nullptr;
      int rc = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                               countedSQLiteVFS());
      std::unique_ptr<sqlite3, CloseDatabase> db(raw);
      if (rc == SQLITE_OK) rc = prepareSchema(db.get());
      if (rc == SQLITE_OK) {
        db_ = std::move(db);
        return db_.get();
      }
      const std::string message = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
      db.reset();
      if (attempt == 0 && isCorruption(rc)) {
        setAside();
        continue;
      }
      // Said once; the next operation tries again, since a full disk or a folder made
      // writable again is no reason to stop indexing for the rest of the run.
      if (!std::exchange(open_failure_said_, true)) {
        systemLog("the search index couldn't be opened: %s", message.c_str());
      }
      return nullptr;
    }
    return nullptr;
  }

  // A database found damaged while in use is set aside; the next operation starts a new one,
  // which the next rebuild fills.
  void checkLocked(int rc) {
    if (!isCorruption(rc)) return;
    db_.reset();
    setAside();
  }

  // Moves a damaged file out of the way as "<name>.corrupt"; its WAL and shared-memory files
  // belong to it and would be replayed into a new database, so they go too.
  void setAside() {
    std::error_code ec;
    std::filesystem::path aside = path_;
    aside += ".corrupt";
    std::filesystem::rename(path_, aside, ec);
    for (const char* suffix : {"-wal", "-shm"}) {
      std::filesystem::path companion = path_;
      companion += suffix;
      std::filesystem::remove(companion, ec);
    }
  }

  const std::filesystem::path path_;
  std::mutex mutex_;  // guards db_ and open_failure_said_
  std::unique_ptr<sqlite3, CloseDatabase> db_;
  bool open_failure_said_ = false;
  // Last, so that it is destroyed first: its destructor runs the queued work, which needs the
  // members above.
  ThreadSerialQueue queue_;
};

// With indexing turned off: nothing is made, kept or found.
class DisabledSearchIndex final : public SearchIndex {
 public:
  void update(const std::string&, const json::object&, const std::filesystem::path&,
              const std::string&) override {}
  std::map<std::string, std::string> stamps() override { return {}; }
  void refresh(std::vector<Change>, std::vector<Change>) override {}
  void remove(const std::string&) override {}
  void reindex(Documents) override {}
  std::vector<Hit> search(const std::string&, std::size_t) override { return {}; }
  void flush() override {}
};

}  // namespace

SearchIndex::Item SearchIndex::item(const std::string& id, const json::object& doc,
                                    const std::filesystem::path& package) {
  const Preview preview(doc);
  const std::vector<const json::object*> nodes = preview.nodes();
  Item out;
  out.id = id;
  out.title = preview.title();
  out.path = package.string();
  out.modified = seconds(doc, "updated");
  out.created = seconds(doc, "created");

  std::string joined;
  out.text = out.title;
  for (const json::object* node : nodes) {
    const std::string plain = Preview::plain(*node);
    if (plain.empty()) continue;
    if (!joined.empty()) joined += ' ';
    joined += plain;
    out.text += '\n';
    out.text += plain;
  }
  out.description = text::graphemePrefix(joined, kDescriptionLength);
  for (const json::object* node : nodes) {
    if (const json::array* children = json::findArray(*node, "children")) {
      appendSubtext(*children, 0, out.text);
    }
  }
  return out;
}

std::string SearchIndex::matchExpression(std::string_view query, Prefixes prefixes) {
  return matchExpressionFor(query, prefixes);
}

bool SearchIndex::enabledByEnvironment() {
  return std::getenv("QUILLSTONE_DEBUG") == nullptr ||
         std::getenv("QUILLSTONE_SPOTLIGHT") != nullptr;
}

std::unique_ptr<SearchIndex> makeSQLiteSearchIndex(const std::filesystem::path& database,
                                                   bool enabled) {
  if (!enabled) return std::make_unique<DisabledSearchIndex>();
  return std::make_unique<SQLiteSearchIndex>(database);
}

}  // namespace qs
