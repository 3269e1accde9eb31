#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "core/json.h"
#include "import/backup_import.h"
#include "import/file_import.h"
#include "library/library.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using testing::readText;
using testing::TempDir;
using testing::writeText;

json::object doc(std::string_view id, json::value updated, std::string_view title = "Title") {
  json::object d{{"id", id},
                 {"title", title},
                 {"nodes", json::array{json::object{{"id", "n1"}, {"text", "words"}}}}};
  if (!updated.is_null()) d["updated"] = updated;
  return d;
}

json::object backup(json::array docs, json::object extra = {}) {
  json::object b{{"format", "quillstone/backup"}, {"version", 1}, {"schema", 3}};
  b["docs"] = std::move(docs);
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
  BackupImport::Result import(const json::object& b) {
    auto outcome = importText(*json::compact(b));
    EXPECT_TRUE(std::holds_alternative<BackupImport::Result>(outcome))
        << std::get<BackupImport::Failure>(outcome).message;
    return std::holds_alternative<BackupImport::Result>(outcome)
               ? std::get<BackupImport::Result>(outcome)
               : BackupImport::Result{};
  }
  json::object envelope(std::string_view id) {
    auto package = library_.url(id);
    EXPECT_TRUE(package) << id;
    if (!package) return {};
    return json::parse(readText(*package / "document.json"))->as_object();
  }
  std::size_t packages() {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(root_)) n += e.path().extension() == ".quillstone";
    return n;
  }

  TempDir dir_;
  fs::path root_ = dir_ / "Writing";
  fs::path support_ = dir_ / "Support";
  fs::path file_ = dir_ / "backup.json";
  library::Library library_{root_, support_, {}};
};

TEST_F(BackupImportTest, EveryFailureHasItsMessageAndWritesNothing) {
  // A library with a document, a workspace and a pretext already, to be left as they are.
  ASSERT_TRUE(library_.write(json::object{{"id", "kept"}, {"rev", 1}, {"doc", doc("kept", 5)}}));
  writeText(support_ / "workspace.json", R"({"order":["kept"],"groups":[{"id":"g"}]})");
  writeText(support_ / "pretext.json", R"({"pretext":{"items":[]}})");

  const std::string not_backup(BackupImport::kNotBackup);
  const std::string newer(BackupImport::kNewerVersion);
  const std::string none(BackupImport::kNoDocuments);
  const std::string good_doc = R"({"id":"a","nodes":[]})";
  const std::string head = R"({"format":"quillstone/backup","version":1,"schema":3,)";
  // A backup of the good document whose first fields are `fields`.
  auto with = [&](std::string fields) { return "{" + fields + R"(,"docs":[)" + good_doc + "]}"; };
  std::string uncounted = head + R"("docs":[)";
  const char* kinds[] = {R"({"id":"has space","nodes":[]})",
                         R"({"id":"x","nodes":{}})",
                         R"({"nodes":[]})",
                         R"({})",
                         "7",
                         "null",
                         R"({"id":5,"nodes":[]})"};
  for (int i = 0; i < 100000; ++i) uncounted += std::string(i ? "," : "") + kinds[i % 7];
  uncounted += R"(,{"id":")" + std::string(129, 'a') + R"(","nodes":[]}]})";
  const std::string backup = R"("format":"quillstone/backup")";
  // Truncated, trailing text, broken inside a document or after, not an object, no format or
  // another, then a project export, then versions and schemas not this one's, then no documents.
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {not_backup,
       {"", "not json", head + R"("docs":[)" + good_doc, head + R"("docs":[)" + good_doc + "]} x",
        head + R"("docs":[{"id":"a","nodes":[1,}]})",
        head + R"("docs":[)" + good_doc + R"(],"ui":{"a":tru}})", "[" + good_doc + "]",
        R"("quillstone/backup")", with(R"("version":1,"schema":3)"),
        with(R"("format":"quillstone/other","version":1,"schema":3)"),
        with(R"("format":["quillstone/backup"],"version":1,"schema":3)")}},
      {std::string(BackupImport::kProjectExport),
       {R"({"format":"quillstone/project","version":1,"docs":[]})"}},
      {newer,
       {with(backup + R"(,"version":2,"schema":3)"), with(backup + R"(,"version":"1","schema":3)"),
        with(backup + R"(,"version":1)"), with(backup + R"(,"version":1,"schema":4)"),
        with(backup + R"(,"version":1,"schema":2.5)")}},
      {none,
       {head + R"("docs":{"a":)" + good_doc + "}}", head + R"("docs":[]})",
        "{" + backup + R"(,"version":1,"schema":3})", uncounted}}};
  const auto before_root = snapshot(root_), before_support = snapshot(support_);
  auto message = [](const BackupImport::Outcome& outcome) {
    auto* failure = std::get_if<BackupImport::Failure>(&outcome);
    return failure ? failure->message : "(imported)";
  };
  for (const auto& [expected, texts] : cases) {
    for (const auto& text : texts)
      EXPECT_EQ(message(importText(text)), expected) << text.substr(0, 200);
  }
  fs::remove(file_);
  for (const fs::path& path : {file_, fs::path(dir_.path())}) {  // missing, a folder
    EXPECT_EQ(message(BackupImport::run(path, library_)), not_backup);
  }
  EXPECT_EQ(snapshot(root_), before_root);
  EXPECT_EQ(snapshot(support_), before_support);
}

TEST_F(BackupImportTest, NewerCopiesReplaceTheLibrarysAndOthersAreSkipped) {
  for (auto [id, rev, updated] :
       {std::tuple{"same", 5, json::value(1000)}, std::tuple{"older", 7, json::value(1000)},
        std::tuple{"zero", 2, json::value(0)},
        std::tuple{"unstamped", 3, json::value("yesterday")}}) {
    ASSERT_TRUE(library_.write(json::object{{"id", id}, {"rev", rev}, {"doc", doc(id, updated)}}));
  }
  std::vector<std::pair<std::size_t, std::size_t>> steps;
  writeText(file_, *json::compact(backup({
                       doc("same", 1000),          // equal: skipped
                       doc("older", 1001, "New"),  // newer: written with rev 8
                       doc("zero", nullptr),       // no `updated` against 0: skipped
                       doc("unstamped", 1),        // against no readable `updated`: b > 0
                       doc("fresh", nullptr),      // new: written, `updated` 0, rev 1
                   })));
  auto outcome = BackupImport::run(file_, library_, [&](std::size_t done, std::size_t total) {
    steps.emplace_back(done, total);
    return true;
  });
  ASSERT_TRUE(std::holds_alternative<BackupImport::Result>(outcome));
  const auto& result = std::get<BackupImport::Result>(outcome);
  EXPECT_EQ(std::tie(result.count, result.skipped), std::tuple(3, 2));
  EXPECT_TRUE(result.failed.empty());
  using Step = std::pair<std::size_t, std::size_t>;
  EXPECT_EQ(std::tuple(steps.front(), steps.back(), steps.size()),
            std::tuple(Step{0, 5}, Step{5, 5}, 6u));

  EXPECT_EQ(envelope("older").at("doc").at("title"), "New");
  std::vector<json::value> records;
  for (const char* id : {"older", "unstamped", "fresh", "same"})
    records.push_back(envelope(id).at("record"));
  EXPECT_EQ(json::value(json::array(records.begin(), records.end())),
            json::parse(R"([{"rev":8,"updated":1001},{"rev":4,"updated":1},{"rev":1,"updated":0},
                            {"rev":5,"updated":1000}])"));
  EXPECT_EQ(packages(), 5u);

  // Stopped after the first document: what was written stays.
  writeText(file_, *json::compact(backup({doc("a", 1), doc("b", 1), doc("c", 1)})));
  outcome =
      BackupImport::run(file_, library_, [](std::size_t done, std::size_t) { return done < 1; });
  ASSERT_TRUE(std::holds_alternative<BackupImport::Result>(outcome));
  EXPECT_EQ(std::get<BackupImport::Result>(outcome).count, 1);
  EXPECT_TRUE(library_.url("a"));
  EXPECT_EQ(packages(), 6u);
}

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
      "images":{"cap-1":"data:image/png;base64,AAAA"}})"));
  auto first = import(b);
  EXPECT_EQ(first.count, 2);
  const auto written = snapshot(root_);
  const auto merged = readText(support_ / "workspace.json");
  const auto pretext = readText(support_ / "pretext.json");

  auto second = import(b);
  EXPECT_EQ(std::tie(second.count, second.skipped), std::tuple(0, 2));
  EXPECT_EQ(std::tuple(snapshot(root_), readText(support_ / "workspace.json"),
                       readText(support_ / "pretext.json")),
            std::tuple(written, merged, pretext));

  EXPECT_EQ(*json::parse(merged), *json::parse(R"({"key":"workspace","schema":3,
      "order":["mine","b","a"],
      "groups":[{"id":"g1","n":"mine"},{"id":"g2"},{"n":"no id"}],"ui":{"u":1}})"));
  EXPECT_EQ(*json::parse(pretext), *json::parse(R"({"key":"pretext","pretext":{
      "sections":[{"id":"s1","n":"mine"},{"id":"s2"}],"items":[{"id":"i1"}]}})"));
  EXPECT_EQ(readText(support_ / "captures/cap-1.txt"), "data:image/png;base64,AAAA");
}

TEST_F(BackupImportTest, ANewWorkspaceFileTakesTheBackupsOrMakesOne) {
  import(backup({doc("a", 1)}, {{"workspace", json::object { { "id", "w" } }}, { "ui", 5 }}));
  auto w = json::parse(readText(support_ / "workspace.json"))->as_object();
  EXPECT_EQ(w, *json::parse(R"({"key":"workspace","schema":3,"workspace":{"id":"w"},
      "groups":[],"ui":{},"order":["a"],"migratedFrom":null})"));

  fs::remove(support_ / "workspace.json");
  import(backup({doc("b", 1)}));
  w = json::parse(readText(support_ / "workspace.json"))->as_object();
  const auto& made = w.at("workspace").as_object();
  const std::string id(made.at("id").as_string());
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos) << id;
  EXPECT_EQ(made.at("owner"), (json::object{{"id", "local"}, {"name", "You"}}));
  EXPECT_GT(made.at("created").as_int64(), 1700000000000);
  EXPECT_EQ(w.at("order"), (json::array{"b"}));
}

TEST_F(BackupImportTest, OnlyImageCapturesWithPlainNamesAreWritten) {
  json::object images{
      {"text", "data:text/html,<script>"},
      {"number", 5},
      {"huge", "data:image/png;base64," + std::string(BackupImport::kLargestCapture, 'A')}};
  for (const std::string& name :
       {"good-1"s, "under_score"s, "../escape"s, "a/b"s, ".."s, ""s, std::string("nul\0x", 5)}) {
    images[name] = "data:image/png;base64,AAAA";
  }
  import(backup({doc("a", 1)}, {{ "images", images }}));
  std::vector<std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(dir_.path())) {
    if (e.path().extension() == ".txt") written.push_back(e.path().lexically_relative(dir_.path()));
  }
  EXPECT_EQ(written, std::vector<std::string>{"Support/captures/good-1.txt"});
}

TEST_F(BackupImportTest, OddDocumentsAreWrittenOnceOrNamedAsFailed) {
  // A package of "taken" that can't be read: the backup's copy must not replace it.
  writeText(root_ / "Taken.quillstone/document.json", R"({"doc":{"id":"taken"},"format":"x"})");
  std::string deep = R"({"id":"deep","nodes":)";
  for (int i = 0; i < 10000; ++i) deep += "[";
  for (int i = 0; i < 10000; ++i) deep += "]";
  deep += "}";
  json::object big_title = doc("long", 1, std::string(1 << 20, 'x'));
  const std::string text =
      "{" + std::string(R"("format":"quillstone/backup","version":1,"schema":3,"docs":[)") +
      *json::compact(doc("twice", 1, "Old")) + "," + *json::compact(doc("twice", 3, "New")) + "," +
      *json::compact(doc("twice", 2, "Between")) + "," + *json::compact(doc("Case", 1, "Upper")) +
      "," + *json::compact(doc("case", 1, "Lower")) + "," + deep + "," +
      R"({"id":"infinite","updated":1e999,"nodes":[]})" + "," + *json::compact(big_title) + "," +
      *json::compact(doc("taken", 9)) + "]}";
  auto outcome = importText(text);
  ASSERT_TRUE(std::holds_alternative<BackupImport::Result>(outcome))
      << std::get<BackupImport::Failure>(outcome).message;
  const auto& result = std::get<BackupImport::Result>(outcome);
  using Names = std::vector<std::string>;
  EXPECT_EQ(std::tie(result.count, result.failed, result.failed_names),
            std::tuple(4, Names{"deep", "infinite", "taken"}, Names{"deep", "infinite", "Title"}));
  for (auto [id, title] : {std::pair{"twice", "New"}, {"Case", "Upper"}, {"case", "Lower"}}) {
    EXPECT_EQ(envelope(id).at("doc").at("title"), title);
  }
  EXPECT_EQ(library_.url("long")->stem().string(), std::string(80, 'x'));
  EXPECT_EQ(readText(root_ / "Taken.quillstone/document.json"),
            R"({"doc":{"id":"taken"},"format":"x"})");
  EXPECT_EQ(packages(), 5u);  // twice, Case, case, long and the unreadable one
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
  TempDir dir;
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

  auto entries = importEntries({dir / "NOTES.MD", dir / "missing.md", dir.path(), dir / "odd.mkdn"},
                               [](std::string_view ext) {
                                 return ext == "md" ? std::string("text/markdown")
                                                    : std::string(kUnknownMimeType);
                               });
  EXPECT_EQ(entries,
            (json::array{
                json::object{{"name", "NOTES.MD"}, {"type", "text/markdown"}, {"data", "IyBIaQ=="}},
                json::object{{"name", "odd.mkdn"}, {"type", ""}, {"data", "eA=="}}}));
}

TEST(FileImportTest, AlertTexts) {
  BackupImport::Result one{1, 0, {}, {}};
  auto texts = [](const auto& alert) { return std::tuple(alert.message, alert.informative); };
  EXPECT_EQ(texts(BackupImport::reportAlert(one, "Documents \u2192 Quillstone")),
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
