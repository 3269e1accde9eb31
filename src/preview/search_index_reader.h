// The desktop's search answered from the search index that the app keeps: which documents match
// the words typed, and what to show for each. A reader only: the database is opened read-only and
// never created, changed or rebuilt here (an index of another schema version, or none, finds
// nothing). The database may be replaced under a long-lived reader (the app sets a damaged one
// aside and starts afresh): each call looks at the file and reopens it when it is another one.
// One thread at a time.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qs {

class SearchIndexReader {
 public:
  struct Meta {
    std::string id;
    std::string name;         // the document's title
    std::string description;  // the matching text around the terms, else the document's start
    // The package's thumbnail, when it is a plain file in a plain folder (nothing followed
    // through a link).
    std::optional<std::filesystem::path> thumbnail;
  };

  explicit SearchIndexReader(std::filesystem::path database);
  ~SearchIndexReader();
  SearchIndexReader(const SearchIndexReader&) = delete;
  SearchIndexReader& operator=(const SearchIndexReader&) = delete;

  // Ids of the documents holding every term, best first. As the desktop's search hands each word
  // typed so far as a term, every term matches as the start of a word ("harb lig" finds
  // "Harbour Lights").
  std::vector<std::string> resultSet(const std::vector<std::string>& terms,
                                     std::size_t limit = kResultLimit);

  // A meta for each id the index knows, in the order asked; unknown ids are left out. The
  // description is a snippet around `terms` when they match the document.
  std::vector<Meta> resultMetas(const std::vector<std::string>& ids,
                                const std::vector<std::string>& terms);

  // The thumbnail inside `package`, under the conditions above.
  static std::optional<std::filesystem::path> thumbnailOf(const std::filesystem::path& package);

  // The shell shows a handful of results per program; more only costs time.
  static constexpr std::size_t kResultLimit = 20;

 private:
  struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };

  // The open database when the file is there and of the right schema, else null.
  sqlite3* database();

  const std::filesystem::path path_;
  std::unique_ptr<sqlite3, CloseDatabase> db_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace qs
