#include "preview/search_index_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <string_view>

#include "preview/search_index.h"

namespace qs {

namespace fs = std::filesystem;

namespace {

// The same ranking as the app's own search: a title match counts most, then the description,
// then the body.
constexpr std::string_view kResultSet =
    "SELECT d.id FROM "
    "(SELECT rowid, bm25(documents_fts, 10.0, 3.0, 1.0) AS score FROM documents_fts "
    " WHERE documents_fts MATCH ?1 ORDER BY score LIMIT ?2) AS m "
    "JOIN documents AS d ON d.rowid = m.rowid ORDER BY m.score";
// The snippet comes from the full text (title, paragraphs, the writer's bullets), which holds
// every word a document can be found by.
constexpr std::string_view kMetaWithSnippet =
    "SELECT d.title, d.description, d.path, "
    " (SELECT snippet(documents_fts, 2, '', '', '\u2026', 16) FROM documents_fts "
    "  WHERE documents_fts MATCH ?2 AND rowid = d.rowid) "
    "FROM documents AS d WHERE d.id = ?1";
constexpr std::string_view kMeta =
    "SELECT d.title, d.description, d.path, NULL FROM documents AS d WHERE d.id = ?1";

struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

Statement prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  return Statement(raw);
}

void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
  sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

std::string columnText(sqlite3_stmt* statement, int column) {
  const auto* bytes = sqlite3_column_text(statement, column);
  return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                             static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
               : std::string();
}

std::string joined(const std::vector<std::string>& terms) {
  std::string query;
  for (const std::string& term : terms) {
    if (!query.empty()) query += ' ';
    query += term;
  }
  return query;
}

// The full text keeps its lines; a description is one line. The text begins with the title,
// which the shell already shows as the result's name.
std::string descriptionFrom(std::string snippet, const std::string& title) {
  std::replace(snippet.begin(), snippet.end(), '\n', ' ');
  if (!title.empty() && snippet.starts_with(title + " ")) snippet.erase(0, title.size() + 1);
  return snippet;
}

}  // namespace

SearchIndexReader::SearchIndexReader(fs::path database) : path_(std::move(database)) {}

SearchIndexReader::~SearchIndexReader() = default;

sqlite3* SearchIndexReader::database() {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    db_.reset();
    return nullptr;
  }
  if (!db_ || st.st_dev != device_ || st.st_ino != inode_) {
    db_.reset();
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, CloseDatabase> db(raw);
    if (rc != SQLITE_OK) return nullptr;
    // The app may be writing: wait a little for its lock rather than answer nothing.
    sqlite3_busy_timeout(db.get(), 200);
    sqlite3_exec(db.get(), "PRAGMA query_only=1", nullptr, nullptr, nullptr);
    db_ = std::move(db);
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  // Asked every time: a newer app rebuilds its tables inside the same file.
  Statement version = prepare(db_.get(), "PRAGMA user_version");
  if (!version || sqlite3_step(version.get()) != SQLITE_ROW ||
      sqlite3_column_int(version.get(), 0) != SearchIndex::kSchemaVersion) {
    return nullptr;
  }
  return db_.get();
}

std::vector<std::string> SearchIndexReader::resultSet(const std::vector<std::string>& terms,
                                                      std::size_t limit) {
  std::vector<std::string> ids;
  const std::string expression =
      SearchIndex::matchExpression(joined(terms), SearchIndex::Prefixes::kEveryWord);
  if (expression.empty() || limit == 0) return ids;
  sqlite3* db = database();
  if (!db) return ids;
  Statement select = prepare(db, kResultSet);
  if (!select) return ids;
  bindText(select.get(), 1, expression);
  sqlite3_bind_int64(select.get(), 2, static_cast<sqlite3_int64>(limit));
  int rc;
  while ((rc = sqlite3_step(select.get())) == SQLITE_ROW)
    ids.push_back(columnText(select.get(), 0));
  if (rc != SQLITE_DONE) ids.clear();  // a half answer would rank wrongly
  return ids;
}

std::vector<SearchIndexReader::Meta> SearchIndexReader::resultMetas(
    const std::vector<std::string>& ids, const std::vector<std::string>& terms) {
  std::vector<Meta> metas;
  sqlite3* db = database();
  if (!db) return metas;
  const std::string expression =
      SearchIndex::matchExpression(joined(terms), SearchIndex::Prefixes::kEveryWord);
  Statement select = prepare(db, expression.empty() ? kMeta : kMetaWithSnippet);
  if (!select) return metas;
  for (const std::string& id : ids) {
    sqlite3_reset(select.get());
    bindText(select.get(), 1, id);
    if (!expression.empty()) bindText(select.get(), 2, expression);
    if (sqlite3_step(select.get()) != SQLITE_ROW) continue;
    Meta meta;
    meta.id = id;
    meta.name = columnText(select.get(), 0);
    meta.description = descriptionFrom(columnText(select.get(), 3), meta.name);
    if (meta.description.empty()) meta.description = columnText(select.get(), 1);
    const std::string package = columnText(select.get(), 2);
    if (!package.empty()) meta.thumbnail = thumbnailOf(package);
    metas.push_back(std::move(meta));
  }
  return metas;
}

std::optional<fs::path> SearchIndexReader::thumbnailOf(const fs::path& package) {
  // The package and everything in it may have been replaced by links since it was indexed;
  // the shell would follow them, so a link anywhere on the way means no thumbnail.
  std::error_code ec;
  const fs::path quick_look = package / "QuickLook";
  const fs::path thumbnail = quick_look / "Thumbnail.png";
  if (!package.is_absolute()) return std::nullopt;
  for (const fs::path& folder : {package, quick_look}) {
    if (fs::symlink_status(folder, ec).type() != fs::file_type::directory) return std::nullopt;
  }
  if (fs::symlink_status(thumbnail, ec).type() != fs::file_type::regular) return std::nullopt;
  return thumbnail;
}

}  // namespace qs
