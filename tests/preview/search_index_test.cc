#include "preview/search_index.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/text.h"
#include "preview/search_index_reader.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using testing::object;
using testing::writeText;
using Ids = std::vector<std::string>;
namespace fs = std::filesystem;

json::object doc(std::string_view title, std::string_view body,
                 std::string_view bullet = "a bullet") {
  return json::object{
      {"title", title},
      {"nodes", json::array{json::object{
                    {"text", body}, {"children", json::array{json::object{{"text", bullet}}}}}}}};
}

TEST(SearchIndexItem, FieldsFromTheDocumentWithTheWritersBulletsOnly) {
  // 500 characters of two code points each, so a cut by bytes or code points would show.
  std::string long_text;
  for (int i = 0; i < 500; ++i) long_text += "e\u0301";
  const json::object notes{
      {"title", "  Notes  "},
      {"updated", 1'700'000'000'500},
      {"created", "yesterday"},
      {"nodes", json::array{json::object{{"text", long_text}}, json::object{{"text", ""}},
                            object(R"({"content":[{"text":"tail "},{"text":"end"}]})")}}};
  const auto item = SearchIndex::item("a1", notes, "/w/Notes.quillstone");
  EXPECT_EQ(std::tie(item.path, item.description, item.text, item.modified, item.created),
            std::tuple("/w/Notes.quillstone", text::graphemePrefix(long_text, 300),
                       "Notes\n" + long_text + "\ntail end", 1'700'000'000.5, std::nullopt));
  EXPECT_EQ(text::graphemeCount(item.description), 300u);

  // Subtext keeps the writer's bullets only.
  const auto subtext = object(R"({"title":"T","nodes":[
    {"text":"body","children":[
      {"text":"mine"},
      {"text":"machine","ai":false,"children":[{"text":"reply under ai"},{"text":"deep","ai":"x"}]},
      {"text":"","children":[{"content":[{"text":"nested"}]}]},
      {"text":"null ai is mine","ai":null}]},
    {"text":"","children":[{"text":"under empty node"}]},
    "not an object"]})");
  EXPECT_EQ(SearchIndex::item("a", subtext, "/p").text,
            "T\nbody\nmine\nreply under ai\n\nnested\nnull ai is mine\nunder empty node");

  // Hostile nesting: the walk stops after 256 levels.
  json::value bullet = json::object{{"text", "leaf"}};
  for (int i = 0; i < 300; ++i)
    bullet = json::object{{"text", "x"}, {"children", json::array{std::move(bullet)}}};
  const json::object deep{{"title", "T"}, {"nodes", json::array{std::move(bullet)}}};
  const std::string text = SearchIndex::item("a", deep, "/p").text;
  EXPECT_EQ(text.find("leaf"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 256);
}

class SearchIndexTest : public ::testing::Test {
 protected:
  fs::path database() const { return dir_ / "support" / "search-index.sqlite3"; }
  fs::path package(std::string_view name) const {
    return dir_ / "Writing" / (std::string(name) + ".quillstone");
  }
  // Three documents hold "lighthouse": in the title, in the paragraph, in a bullet; a reserved
  // and an archived one are left out.
  void buildIndex() {
    auto index = makeSQLiteSearchIndex(database(), true);
    json::object archived = doc("Old lighthouse", "lighthouse");
    archived["archived"] = true;
    index->reindex({
        {"_settings", {doc("lighthouse", "lighthouse"), package("_settings")}},
        {"old", {archived, package("Old lighthouse")}},
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
using SearchIndexReaderTest = SearchIndexTest;

// A disabled index makes no folder; one that can't be opened (a folder where the file should be)
// does nothing and says so once.
TEST_F(SearchIndexTest, ADisabledOrUnopenableIndexMakesNoFileAndFindsNothing) {
  for (bool enabled : {false, true}) {
    if (enabled) fs::create_directories(database());
    auto index = makeSQLiteSearchIndex(database(), enabled);
    ::testing::internal::CaptureStderr();
    index->update("a", doc("T", "words"), package("a"));
    index->reindex({{"b", {doc("T", "words"), package("b")}}});
    index->remove("a");
    index->flush();
    EXPECT_TRUE(index->search("words").empty());
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::countOf(err, "Quillstone: the search index couldn't be opened: "),
              enabled ? 1u : 0u)
        << err;
    EXPECT_EQ(std::tuple(fs::exists(database().parent_path()), fs::is_directory(database())),
              std::tuple(enabled, enabled));
  }
}

TEST_F(SearchIndexTest, CorruptDatabaseIsSetAsideAndRebuilt) {
  std::string garbage(8192, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 131 + 7);
  writeText(database(), garbage);

  auto index = makeSQLiteSearchIndex(database(), true);
  index->update("a", doc("Recovered", "words"), package("a"));
  index->update("_settings", doc("Recovered", "words"), package("r"));  // never indexed
  const auto hits = index->search("recovered");
  EXPECT_EQ(std::tuple(hits.size(), hits.empty() ? "" : hits[0].id), std::tuple(1u, "a"));
  EXPECT_EQ(testing::readText(database().string() + ".corrupt"), garbage);
}

// The order of results, metas, odd terms and that the index is only read are also seen over the
// session bus (tests/search_provider): here, what that run doesn't reach.
TEST_F(SearchIndexReaderTest, ResultSetsBestFirstForAnyTerms) {
  buildIndex();
  SearchIndexReader reader(database());
  EXPECT_EQ(reader.resultSet({"LIGHTH"}), (Ids{"title", "body", "bullet"})) << "prefix, any case";
  EXPECT_EQ(reader.resultSet({"lighthouse dusk"}), Ids{"body"});
  // Every term is the start of a word, as the shell hands each word typed so far; the app's own
  // search (and the command line's) wants every word but the last whole.
  EXPECT_EQ(reader.resultSet({"harb", "ligh"}), Ids{"body"});
  EXPECT_EQ(reader.resultSet({"ligh dus"}), Ids{"body"});
  EXPECT_EQ(SearchIndex::matchExpression("harb ligh"), "\"harb\" AND \"ligh\"*");
  EXPECT_EQ(reader.resultSet({"lighthouse"}, 2), (Ids{"title", "body"}));
  // Odd terms are words, never query syntax or SQL.
  EXPECT_EQ(reader.resultSet({"\"lighthouse*", "(dusk) '; -- \xff"}), Ids{"body"});
  for (const Ids& nothing : {Ids{"-", "*"}, Ids{"zebra"}})
    EXPECT_TRUE(reader.resultSet(nothing).empty()) << ::testing::PrintToString(nothing);
}

TEST_F(SearchIndexReaderTest, MetasCarryTitleSnippetAndASafeThumbnail) {
  buildIndex();
  writeText(package("The lighthouse") / "QuickLook" / "Thumbnail.png", "png");
  // A thumbnail reached through a link is not offered: the shell would read wherever it points.
  writeText(dir_ / "elsewhere" / "QuickLook" / "Thumbnail.png", "png");
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

  buildIndex();
  EXPECT_EQ(reader.resultSet({"lighthouse"}).size(), 3u);

  // The app set the database aside and made a new one: the reader moves to it. (The index was
  // destroyed with the update still queued: it finished the work first.)
  fs::rename(database(), dir_ / "aside.sqlite3");
  makeSQLiteSearchIndex(database(), true)
      ->update("new", doc("Lighthouse two", "fresh"), package("Lighthouse two"));
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
