#include <gtest/gtest.h>
#include <unistd.h>

#include "core/json.h"
#include "core/text.h"
#include "import/backup_import.h"
#include "import/file_import.h"
#include "library/library.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::readText;
using testing::writeText;

json::object doc(std::string_view id, json::value updated, std::string_view title = "Title") {
  json::object d{
      {"id", id}, {"title", title}, {"nodes", *json::parse(R"([{"id":"n1","text":"words"}])")}};
  if (!updated.is_null()) d["updated"] = updated;
  return d;
}

json::object backup(json::array docs, json::object extra = {}) {
  json::object b{
      {"format", "quillstone/backup"}, {"version", 1}, {"schema", 3}, {"docs", std::move(docs)}};
  for (const auto& kv : extra) b[kv.key()] = kv.value();
  return b;
}

const auto snapshot = &testing::tree;

class BackupImportTest : public ::testing::Test {
 protected:
  BackupImport::Outcome importText(std::string_view text) {
    writeText(file_, text);
    return BackupImport::run(file_, library_);
  }
  // The result of a run that is to succeed.
  BackupImport::Result import(std::string_view text) {
    auto outcome = importText(text);
    auto* result = std::get_if<BackupImport::Result>(&outcome);
    EXPECT_TRUE(result) << std::get<BackupImport::Failure>(outcome).message;
    return result ? *result : BackupImport::Result{};
  }
  json::object envelope(std::string_view id) {
    auto package = library_.url(id);
    EXPECT_TRUE(package) << id;
    if (!package) return {};
    return json::parse(readText(*package / "document.json"))->as_object();
  }

  testing::TempDir dir_;
  fs::path root_ = dir_ / "Writing";
  fs::path support_ = dir_ / "Support";
  fs::path file_ = dir_ / "backup.json";
  library::Library library_{root_, support_, {}};
};

// A second run writes nothing and duplicates nothing; a later backup replaces only what is older
// here; a file that isn't a backup this version reads, or holds no documents, writes nothing.
TEST_F(BackupImportTest, ASecondRunWritesNothingAndDuplicatesNothing) {
  // The support folder already has a workspace and a pretext of its own.
  writeText(
      support_ / "workspace.json",
      R"({"key":"workspace","schema":3,"order":["mine","b"],"groups":[{"id":"g1","n":"mine"}],"ui":{"u":1}})");
  writeText(support_ / "pretext.json",
            R"({"key":"pretext","pretext":{"sections":[{"id":"s1","n":"mine"}],"items":[]}})");
  const json::object b = backup({doc("a", 10), doc("b", 20)}, testing::object(R"({
      "groups":[{"id":"g1","n":"theirs"},{"id":"g2"},{"n":"no id"}],
      "pretext":{"sections":[{"id":"s1"},{"id":"s2"}],"items":[{"id":"i1"}]},
      "workspace":{"id":"ignored: there is a workspace file"},
      "images":{"cap-1":"data:image/png;base64,AAAA","../up":"data:image/png;base64,AAAA",
                "a/b":"data:image/png;base64,AAAA","html":"data:text/html,<script>"}})"));
  auto first = import(*json::compact(b));
  EXPECT_EQ(first.count, 2);
  const auto written = std::tuple(snapshot(root_), snapshot(support_));

  auto second = import(*json::compact(b));
  EXPECT_EQ(std::tie(second.count, second.skipped), std::tuple(0, 2));
  EXPECT_EQ(std::tuple(snapshot(root_), snapshot(support_)), written);

  EXPECT_EQ(*json::parse(readText(support_ / "workspace.json")),
            *json::parse(R"({"key":"workspace","schema":3,
      "order":["mine","b","a"],
      "groups":[{"id":"g1","n":"mine"},{"id":"g2"},{"n":"no id"}],"ui":{"u":1}})"));
  EXPECT_EQ(*json::parse(readText(support_ / "pretext.json")),
            *json::parse(R"({"key":"pretext","pretext":{
      "sections":[{"id":"s1","n":"mine"},{"id":"s2"}],"items":[{"id":"i1"}]}})"));
  auto captures = snapshot(dir_.path());  // only images with plain names
  std::erase_if(captures, [](const auto& file) { return !file.first.ends_with(".txt"); });
  EXPECT_EQ(captures, (std::map<std::string, std::string>{
                          {"Support/captures/cap-1.txt", "data:image/png;base64,AAAA"}}));

  ASSERT_TRUE(library_.write(json::object{{"id", "u"}, {"rev", 3}, {"doc", doc("u", "later")}}));
  auto later = import(*json::compact(
      backup({doc("a", 9, "Older"), doc("b", 21, "Newer"), doc("u", 1)})));  // u: unstamped here
  EXPECT_EQ(std::tie(later.count, later.skipped), std::tuple(2, 1));
  EXPECT_EQ(std::tuple(envelope("a").at("doc").at("title"), envelope("b").at("doc").at("title"),
                       envelope("b").at("record")),
            std::tuple("Title", "Newer", *json::parse(R"({"rev":2,"updated":21})")));

  const auto before = std::tuple(snapshot(root_), snapshot(support_));
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string_view>>{
           {R"({"format":"quillstone/backup","docs":[{"id":"a\")", BackupImport::kNotBackup},
           {R"({"format":"quillstone/project","version":1,"docs":[]})",
            BackupImport::kProjectExport},
           {*json::compact(backup({doc("c", 1)}, {{"schema", 2.5}})), BackupImport::kNewerVersion},
           {*json::compact(backup({json::object{{"id", "has space"}, {"nodes", 7}}})),
            BackupImport::kNoDocuments}}) {
    auto outcome = importText(text);
    auto* failure = std::get_if<BackupImport::Failure>(&outcome);
    EXPECT_EQ(failure ? failure->message : "(imported)", message) << text;
  }
  EXPECT_EQ(std::tuple(snapshot(root_), snapshot(support_)), before);
}

TEST_F(BackupImportTest, OddDocumentsAreWrittenOnceOrNamedAsFailed) {
  // A package of "taken" that can't be read: the backup's copy must not replace it.
  writeText(root_ / "Taken.quillstone/document.json", R"({"doc":{"id":"taken"},"format":"x"})");
  // Two go in as raw text: one nested too deep to read, and one with a time past any number.
  const std::string raw = R"({"id":"deep","nodes":)" + std::string(10000, '[') +
                          std::string(10000, ']') +
                          R"(},{"id":"infinite","updated":1e999,"nodes":[]})";
  const auto result = import(text::replaceAll(
      *json::compact(
          backup({doc("twice", 1, "Old"), doc("twice", 3, "New"), doc("twice", 2, "Between"),
                  doc("Case", 1, "Upper"), doc("case", 1, "Lower"), "RAW",
                  doc("long", 1, std::string(1 << 20, 'x')), doc("taken", 9)})),
      R"("RAW")", raw));
  using Names = std::vector<std::string>;
  EXPECT_EQ(std::tie(result.count, result.failed, result.failed_names),
            std::tuple(4, Names{"deep", "infinite", "taken"}, Names{"deep", "infinite", "Title"}));
  for (auto [id, title] : {std::pair{"twice", "New"}, {"Case", "Upper"}, {"case", "Lower"}}) {
    EXPECT_EQ(envelope(id).at("doc").at("title"), title);
  }
  EXPECT_EQ(library_.url("long")->stem().string(), std::string(80, 'x'));
  EXPECT_EQ(readText(root_ / "Taken.quillstone/document.json"),
            R"({"doc":{"id":"taken"},"format":"x"})");
  EXPECT_EQ(testing::namesIn(root_).size(), 5u);  // twice, Case, case, long and the unreadable one
  EXPECT_EQ(library_.rescan().size(), 0u);
}

TEST_F(BackupImportTest, IsReadsOnlyUntilTheFormat) {
  auto isText = [&](std::string_view text) {
    writeText(file_, text);
    return BackupImport::is(file_);
  };
  EXPECT_TRUE(isText(*json::compact(backup({}))));
  EXPECT_TRUE(isText(R"({"docs":[{"format":"no"}],"format":"quillstone/backup"})"));
  for (const char* text :
       {R"({"format":"quillstone/project"})", R"({"format":"quillstone/backupX"})",
        R"({"format":{"a":"quillstone/backup"}})", R"({"a":{"format":"quillstone/backup"}})",
        R"(["quillstone/backup"])", R"({"a":1})", R"({"a":1,)", ""}) {
    EXPECT_FALSE(isText(text)) << text;
  }
  EXPECT_FALSE(BackupImport::is(dir_.path()) || BackupImport::is(dir_ / "missing.json"));

  // 399 MB whose format comes first is answered from the first bytes; 400 MB is not read.
  for (auto [size, expected] : {std::pair{BackupImport::kLargestBackup - 1, true},
                                std::pair{BackupImport::kLargestBackup, false}}) {
    writeText(file_, R"({"format":"quillstone/backup","docs":[)");
    ASSERT_EQ(truncate(file_.c_str(), static_cast<off_t>(size)), 0);
    EXPECT_EQ(BackupImport::is(file_), expected) << size;
  }
}

// Files close together go out as one batch, each restarting the wait; a window keeps files
// until its page loaded. Neither calls back once it is gone.
TEST(FileImportTest, BatchesAndFilesKeptForAPage) {
  using Batches = std::vector<std::vector<fs::path>>;
  ManualEventLoop loop;
  Batches flushed, delivered;
  ImportBatch batch(loop, [&](std::vector<fs::path> files) { flushed.push_back(files); });
  batch.add({});
  batch.add({"a.md"});
  loop.advance(200ms);
  batch.add({"b.md", "c.md"});
  loop.advance(299ms);
  EXPECT_TRUE(flushed.empty());
  loop.advance(1ms);
  EXPECT_EQ(flushed, (Batches{{"a.md", "b.md", "c.md"}}));
  batch.add({"d.md"});
  loop.advance(500ms);
  batch.add({"e.md"});
  loop.advance(500ms);
  EXPECT_EQ(flushed.size(), 3u);

  PendingImports pending(loop, [&](std::vector<fs::path> files) { delivered.push_back(files); });
  EXPECT_FALSE(pending.keep({"now.md"}, true));
  EXPECT_TRUE(pending.keep({"a.md"}, false) && pending.keep({"b.md"}, false));
  pending.pageLoaded();
  loop.advance(399ms);
  EXPECT_TRUE(delivered.empty());
  loop.advance(1ms);
  pending.pageLoaded();  // nothing waits
  loop.advance(1s);
  EXPECT_EQ(delivered, (Batches{{"a.md", "b.md"}}));
  {
    ImportBatch gone(loop,
                     [&](std::vector<fs::path>) { ADD_FAILURE() << "flushed after it went"; });
    gone.add({"f.md"});
    PendingImports closed(loop, [&](std::vector<fs::path>) { ADD_FAILURE() << "after close"; });
    EXPECT_TRUE(closed.keep({"c.md"}, false));
    closed.pageLoaded();
  }
  loop.advance(1s);
}

TEST(FileImportTest, EntriesAndTheSplitOfChosenFiles) {
  testing::TempDir dir;
  writeText(dir / "NOTES.MD", "# Hi");
  writeText(dir / "odd.mkdn", "x");
  writeText(dir / "project.json", R"({"format":"quillstone/project"})");
  writeText(dir / "backup.JSON", R"({"format":"quillstone/backup","docs":[]})");
  writeText(dir / "backup.txt", R"({"format":"quillstone/backup","docs":[]})");
  for (const char* name : {"NOTES.MD", "a.markdown", "a.mdown", "a.mkd", "odd.mkdn", "a.txt",
                           "a.text", "a.docx", "a.json"}) {
    EXPECT_TRUE(isImportable(name)) << name;
  }
  for (const char* name : {"a.pdf", "md", "a.md.zip", "a."}) EXPECT_FALSE(isImportable(name));

  auto split = splitChosen(
      {dir / "NOTES.MD", dir / "backup.JSON", dir / "project.json", dir / "backup.txt"});
  EXPECT_EQ(std::tie(split.backups, split.files),
            std::tuple(
                std::vector<fs::path>{dir / "backup.JSON"},
                std::vector<fs::path>{dir / "NOTES.MD", dir / "project.json", dir / "backup.txt"}));

  auto entries =
      importEntries({dir / "NOTES.MD", dir / "missing.md", dir.path(), dir / "odd.mkdn"},
                    [](std::string_view ext) {
                      return std::string(ext == "md" ? "text/markdown" : kUnknownMimeType);
                    });
  EXPECT_EQ(entries,
            (json::array{
                json::object{{"name", "NOTES.MD"}, {"type", "text/markdown"}, {"data", "IyBIaQ=="}},
                json::object{{"name", "odd.mkdn"}, {"type", ""}, {"data", "eA=="}}}));
}

TEST(FileImportTest, AlertTexts) {
  auto texts = [](const auto& alert) { return std::tuple(alert.message, alert.informative); };
  EXPECT_EQ(texts(BackupImport::reportAlert({1, 0, {}, {}}, "Documents \u2192 Quillstone")),
            std::tuple("1 document brought in", "They're in Documents \u2192 Quillstone."));
  BackupImport::Result again{0, 3, {"a", "b"}, {"Plans", "Untitled"}};
  EXPECT_EQ(texts(BackupImport::reportAlert(again, "Home \u2192 Writing")),
            std::tuple("0 documents brought in",
                       "They're in Home \u2192 Writing. 3 already here and newer were left as "
                       "they are. Couldn't write \u201cPlans\u201d, \u201cUntitled\u201d."));
  auto offer = BackupImport::offerAlert(true, "Documents \u2192 Quillstone");
  EXPECT_EQ(offer.message, "Bring your writing to this computer");
  EXPECT_EQ(offer.informative,
            "In Quillstone on the web, open Settings \u2192 Your data \u2192 Download a backup. "
            "Then choose that file here.\n\nEach document becomes a file in Documents \u2192 "
            "Quillstone. Nothing in the browser is changed.");
  EXPECT_EQ(BackupImport::offerAlert(false, "x").message, "Import a backup");
}

}  // namespace
}  // namespace qs
