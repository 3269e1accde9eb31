#include "preview/search_index_reader.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "preview/search_index.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using Ids = std::vector<std::string>;
using testing::write_text;

json::object doc(std::string_view title, std::string_view body,
                 std::string_view bullet = "a bullet") {
  return json::object{
      {"title", title},
      {"nodes", json::array{json::object{
                    {"text", body}, {"children", json::array{json::object{{"text", bullet}}}}}}}};
}

class SearchIndexReaderTest : public ::testing::Test {
 protected:
  fs::path database() const { return dir_ / "support" / "search-index.sqlite3"; }
  fs::path package(std::string_view name) const {
    return dir_ / "Writing" / (std::string(name) + ".quillstone");
  }
  // Three documents hold "lighthouse": in the title, in the paragraph, in a bullet.
  void build_index() {
    auto index = makeSQLiteSearchIndex(database(), true);
    index->reindex({
        {"title", {doc("The lighthouse", "Keepers and lamps."), package("The lighthouse")}},
        {"body",
         {doc("Harbour", "Boats pass the lighthouse at dusk while the town sleeps."),
          package("Harbour")}},
        {"bullet", {doc("Walks", "Along the cliffs.", "lighthouse keeper"), package("Walks")}},
        {"other", {doc("Kitchen", "Bread and soup."), package("Kitchen")}},
    });
    index->flush();
  }

  testing::TempDir dir_;
};

// The order of results, metas, odd terms and that the index is only read are also seen over the
// session bus (tests/search_provider): here, what that run doesn't reach.
TEST_F(SearchIndexReaderTest, ResultSetsBestFirstForAnyTerms) {
  build_index();
  SearchIndexReader reader(database());
  EXPECT_EQ(reader.resultSet({"LIGHTH"}), (Ids{"title", "body", "bullet"})) << "prefix, any case";
  EXPECT_EQ(reader.resultSet({"lighthouse dusk"}), Ids{"body"});
  // Every term is the start of a word, as the shell hands each word typed so far; the app's own
  // search (and the command line's) wants every word but the last whole.
  EXPECT_EQ(reader.resultSet({"harb", "ligh"}), Ids{"body"});
  EXPECT_EQ(reader.resultSet({"ligh dus"}), Ids{"body"});
  EXPECT_EQ(SearchIndex::matchExpression("harb ligh"), "\"harb\" AND \"ligh\"*");
  EXPECT_EQ(reader.resultSet({"lighthouse"}, 2), (Ids{"title", "body"}));
  for (const Ids& nothing : {Ids{"-", "*"}, Ids{"zebra"}}) {
    EXPECT_TRUE(reader.resultSet(nothing).empty()) << ::testing::PrintToString(nothing);
  }
}

TEST_F(SearchIndexReaderTest, MetasCarryTitleSnippetAndASafeThumbnail) {
  build_index();
  write_text(package("The lighthouse") / "QuickLook" / "Thumbnail.png", "png");
  // A thumbnail reached through a link is not offered: the shell would read wherever it points.
  write_text(dir_ / "elsewhere" / "QuickLook" / "Thumbnail.png", "png");
  fs::create_directories(package("Harbour"));
  fs::create_directory_symlink(dir_ / "elsewhere" / "QuickLook", package("Harbour") / "QuickLook");
  fs::create_directory_symlink(dir_ / "elsewhere", package("Walks"));

  SearchIndexReader reader(database());
  const auto metas = reader.resultMetas({"bullet", "unknown", "body", "title"}, {"lighthouse"});
  ASSERT_EQ(metas.size(), 3u) << "unknown ids are left out, the order kept";
  EXPECT_EQ(metas[0].description.find('\n'), std::string::npos);
  EXPECT_FALSE(metas[0].thumbnail) << "the package is a link";
  EXPECT_FALSE(metas[1].thumbnail) << "its QuickLook folder is a link";
  EXPECT_EQ(metas[2].description, "Keepers and lamps. a bullet") << "the name isn't said twice";
  EXPECT_EQ(metas[2].thumbnail, package("The lighthouse") / "QuickLook" / "Thumbnail.png");

  // Without terms (or terms it doesn't hold) a document is described by its beginning.
  const auto plain = reader.resultMetas({"body"}, {});
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(plain[0].description, "Boats pass the lighthouse at dusk while the town sleeps.");
  EXPECT_EQ(reader.resultMetas({"other"}, {"lighthouse"}).at(0).description, "Bread and soup.");
}

TEST_F(SearchIndexReaderTest, NeverWritesAndFollowsAReplacedDatabase) {
  SearchIndexReader reader(database());
  EXPECT_TRUE(reader.resultSet({"lighthouse"}).empty());
  EXPECT_TRUE(reader.resultMetas({"title"}, {}).empty());
  EXPECT_FALSE(fs::exists(database())) << "no index: nothing is made";

  build_index();
  EXPECT_EQ(reader.resultSet({"lighthouse"}).size(), 3u);

  // The app set the database aside and made a new one: the reader moves to it.
  fs::rename(database(), dir_ / "aside.sqlite3");
  {
    auto index = makeSQLiteSearchIndex(database(), true);
    index->update("new", doc("Lighthouse two", "fresh"), package("Lighthouse two"));
    index->flush();
  }
  EXPECT_EQ(reader.resultSet({"lighthouse"}), Ids{"new"});

  // Tables of another version, made in the same file, are left alone and find nothing.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_TRUE(reader.resultSet({"lighthouse"}).empty());
  EXPECT_TRUE(reader.resultMetas({"new"}, {}).empty());
}

}  // namespace
}  // namespace qs
