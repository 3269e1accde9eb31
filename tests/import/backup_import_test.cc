#include "import/backup_import.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "core/json.h"
#include "library/library.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

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
  BackupImport::Outcome import_text(std::string_view text) {
    write_text(file_, text);
    return BackupImport::run(file_, library_);
  }
  BackupImport::Result import(const json::object& b) {
    auto outcome = import_text(*json::compact(b));
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
    return json::parse(read_text(*package / "document.json"))->as_object();
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
  write_text(support_ / "workspace.json", R"({"order":["kept"],"groups":[{"id":"g"}]})");
  write_text(support_ / "pretext.json", R"({"pretext":{"items":[]}})");

  const std::string not_backup(BackupImport::kNotBackup);
  const std::string newer(BackupImport::kNewerVersion);
  const std::string none(BackupImport::kNoDocuments);
  const std::string good_doc = R"({"id":"a","nodes":[]})";
  const std::string head = R"({"format":"quillstone/backup","version":1,"schema":3,)";
  // A backup of the good document whose first fields are `fields`.
  auto with = [&](std::string fields) { return "{" + fields + R"(,"docs":[)" + good_doc + "]}"; };
  std::string uncounted = head + R"("docs":[)";
  for (int i = 0; i < 100000; ++i) {
    static const char* kinds[] = {R"({"id":"has space","nodes":[]})",
                                  R"({"id":"x","nodes":{}})",
                                  R"({"nodes":[]})",
                                  R"({})",
                                  "7",
                                  "null",
                                  R"({"id":5,"nodes":[]})"};
    uncounted += std::string(i ? "," : "") + kinds[i % 7];
  }
  uncounted += R"(,{"id":")" + std::string(129, 'a') + R"(","nodes":[]}]})";
  const std::string backup = R"("format":"quillstone/backup")";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", not_backup},
      {"not json", not_backup},
      {head + R"("docs":[)" + good_doc, not_backup},  // truncated
      {head + R"("docs":[)" + good_doc + "]} x", not_backup},
      {head + R"("docs":[{"id":"a","nodes":[1,}]})", not_backup},  // broken inside a document
      {head + R"("docs":[)" + good_doc + R"(],"ui":{"a":tru}})", not_backup},
      {"[" + good_doc + "]", not_backup},
      {R"("quillstone/backup")", not_backup},
      {with(R"("version":1,"schema":3)"), not_backup},
      {with(R"("format":"quillstone/other","version":1,"schema":3)"), not_backup},
      {with(R"("format":["quillstone/backup"],"version":1,"schema":3)"), not_backup},
      {R"({"format":"quillstone/project","version":1,"docs":[]})",
       std::string(BackupImport::kProjectExport)},
      {with(backup + R"(,"version":2,"schema":3)"), newer},
      {with(backup + R"(,"version":"1","schema":3)"), newer},
      {with(backup + R"(,"version":1)"), newer},
      {with(backup + R"(,"version":1,"schema":4)"), newer},
      {with(backup + R"(,"version":1,"schema":2.5)"), newer},
      {head + R"("docs":{"a":)" + good_doc + "}}", none},
      {head + R"("docs":[]})", none},
      {"{" + backup + R"(,"version":1,"schema":3})", none},
      {uncounted, none},
  };
  const auto before_root = snapshot(root_), before_support = snapshot(support_);
  for (const auto& [text, message] : cases) {
    auto outcome = import_text(text);
    ASSERT_TRUE(std::holds_alternative<BackupImport::Failure>(outcome)) << text.substr(0, 200);
    EXPECT_EQ(std::get<BackupImport::Failure>(outcome).message, message) << text.substr(0, 200);
  }
  fs::remove(file_);
  for (const fs::path& path : {file_, fs::path(dir_.path())}) {  // missing, a folder
    auto outcome = BackupImport::run(path, library_);
    ASSERT_TRUE(std::holds_alternative<BackupImport::Failure>(outcome));
    EXPECT_EQ(std::get<BackupImport::Failure>(outcome).message, not_backup);
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
  write_text(file_, *json::compact(backup({
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

  auto older = envelope("older");
  EXPECT_EQ(older.at("record"), (json::object{{"rev", 8}, {"updated", 1001}}));
  EXPECT_EQ(older.at("doc").at("title"), "New");
  EXPECT_EQ(envelope("unstamped").at("record").at("rev"), 4);
  EXPECT_EQ(envelope("fresh").at("record"), (json::object{{"rev", 1}, {"updated", 0}}));
  EXPECT_EQ(envelope("same").at("record").at("rev"), 5);
  EXPECT_EQ(packages(), 5u);

  // Stopped after the first document: what was written stays.
  write_text(file_, *json::compact(backup({doc("a", 1), doc("b", 1), doc("c", 1)})));
  outcome =
      BackupImport::run(file_, library_, [](std::size_t done, std::size_t) { return done < 1; });
  ASSERT_TRUE(std::holds_alternative<BackupImport::Result>(outcome));
  EXPECT_EQ(std::get<BackupImport::Result>(outcome).count, 1);
  EXPECT_TRUE(library_.url("a"));
  EXPECT_EQ(packages(), 6u);
}

TEST_F(BackupImportTest, ASecondRunWritesNothingAndDuplicatesNothing) {
  // The support folder already has a workspace and a pretext of its own.
  write_text(
      support_ / "workspace.json",
      R"({"key":"workspace","schema":3,"order":["mine","b"],"groups":[{"id":"g1","n":"mine"}],"ui":{"u":1}})");
  write_text(support_ / "pretext.json",
             R"({"key":"pretext","pretext":{"sections":[{"id":"s1","n":"mine"}],"items":[]}})");
  const json::object b =
      backup({doc("a", 10), doc("b", 20)},
             {{"groups", json::array{json::object{{"id", "g1"}, {"n", "theirs"}},
                                     json::object{{"id", "g2"}}, json::object{{"n", "no id"}}}},
              {"pretext", json::object{{"sections", json::array{json::object{{"id", "s1"}},
                                                                json::object{{"id", "s2"}}}},
                                       {"items", json::array{json::object{{"id", "i1"}}}}}},
              {"workspace", json::object{{"id", "ignored: there is a workspace file"}}},
              {"images", json::object{{"cap-1", "data:image/png;base64,AAAA"}}}});
  auto first = import(b);
  EXPECT_EQ(first.count, 2);
  const auto written = snapshot(root_);
  const auto merged = read_text(support_ / "workspace.json");
  const auto pretext = read_text(support_ / "pretext.json");

  auto second = import(b);
  EXPECT_EQ(std::tie(second.count, second.skipped), std::tuple(0, 2));
  EXPECT_EQ(snapshot(root_), written);
  EXPECT_EQ(read_text(support_ / "workspace.json"), merged);
  EXPECT_EQ(read_text(support_ / "pretext.json"), pretext);

  EXPECT_EQ(*json::parse(merged), *json::parse(R"({"key":"workspace","schema":3,
      "order":["mine","b","a"],
      "groups":[{"id":"g1","n":"mine"},{"id":"g2"},{"n":"no id"}],"ui":{"u":1}})"));
  EXPECT_EQ(*json::parse(pretext), *json::parse(R"({"key":"pretext","pretext":{
      "sections":[{"id":"s1","n":"mine"},{"id":"s2"}],"items":[{"id":"i1"}]}})"));
  EXPECT_EQ(read_text(support_ / "captures/cap-1.txt"), "data:image/png;base64,AAAA");
}

TEST_F(BackupImportTest, ANewWorkspaceFileTakesTheBackupsOrMakesOne) {
  import(backup({doc("a", 1)}, {{"workspace", json::object { { "id", "w" } }}, { "ui", 5 }}));
  auto w = json::parse(read_text(support_ / "workspace.json"))->as_object();
  EXPECT_EQ(w, *json::parse(R"({"key":"workspace","schema":3,"workspace":{"id":"w"},
      "groups":[],"ui":{},"order":["a"],"migratedFrom":null})"));

  fs::remove(support_ / "workspace.json");
  import(backup({doc("b", 1)}));
  w = json::parse(read_text(support_ / "workspace.json"))->as_object();
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
      {"good-1", "data:image/png;base64,AAAA"},
      {"under_score", "data:image/png;base64,AAAA"},
      {"../escape", "data:image/png;base64,AAAA"},
      {"a/b", "data:image/png;base64,AAAA"},
      {"..", "data:image/png;base64,AAAA"},
      {"", "data:image/png;base64,AAAA"},
      {std::string("nul\0x", 5), "data:image/png;base64,AAAA"},
      {"text", "data:text/html,<script>"},
      {"number", 5},
      {"huge", "data:image/png;base64," + std::string(BackupImport::kLargestCapture, 'A')}};
  import(backup({doc("a", 1)}, {{ "images", images }}));
  std::vector<std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(dir_.path())) {
    if (e.path().extension() == ".txt") written.push_back(e.path().lexically_relative(dir_.path()));
  }
  EXPECT_EQ(written, std::vector<std::string>{"Support/captures/good-1.txt"});
}

TEST_F(BackupImportTest, OddDocumentsAreWrittenOnceOrNamedAsFailed) {
  // A package of "taken" that can't be read: the backup's copy must not replace it.
  write_text(root_ / "Taken.quillstone/document.json", R"({"doc":{"id":"taken"},"format":"x"})");
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
  auto outcome = import_text(text);
  ASSERT_TRUE(std::holds_alternative<BackupImport::Result>(outcome))
      << std::get<BackupImport::Failure>(outcome).message;
  const auto& result = std::get<BackupImport::Result>(outcome);
  EXPECT_EQ(result.count, 4);
  EXPECT_EQ(result.failed, (std::vector<std::string>{"deep", "infinite", "taken"}));
  EXPECT_EQ(result.failed_names, (std::vector<std::string>{"deep", "infinite", "Title"}));
  EXPECT_EQ(envelope("twice").at("doc").at("title"), "New");
  EXPECT_EQ(envelope("Case").at("doc").at("title"), "Upper");
  EXPECT_EQ(envelope("case").at("doc").at("title"), "Lower");
  EXPECT_EQ(library_.url("long")->stem().string(), std::string(80, 'x'));
  EXPECT_EQ(read_text(root_ / "Taken.quillstone/document.json"),
            R"({"doc":{"id":"taken"},"format":"x"})");
  EXPECT_EQ(packages(), 5u);  // twice, Case, case, long and the unreadable one
  EXPECT_EQ(library_.rescan().size(), 0u);
}

TEST_F(BackupImportTest, IsReadsOnlyUntilTheFormat) {
  auto is_text = [&](std::string_view text) {
    write_text(file_, text);
    return BackupImport::is(file_);
  };
  EXPECT_TRUE(is_text(*json::compact(backup({}))));
  EXPECT_TRUE(is_text(R"({"docs":[{"format":"no"}],"format":"quillstone/backup"})"));
  EXPECT_FALSE(is_text(R"({"format":"quillstone/project"})"));
  EXPECT_FALSE(is_text(R"({"format":"quillstone/backupX"})"));
  EXPECT_FALSE(is_text(R"({"format":{"a":"quillstone/backup"}})"));
  EXPECT_FALSE(is_text(R"({"a":{"format":"quillstone/backup"}})"));
  EXPECT_FALSE(is_text(R"(["quillstone/backup"])"));
  EXPECT_FALSE(is_text(R"({"a":1})"));
  EXPECT_FALSE(is_text(R"({"a":1,)"));
  EXPECT_FALSE(is_text(""));
  EXPECT_FALSE(BackupImport::is(dir_.path()));
  EXPECT_FALSE(BackupImport::is(dir_ / "missing.json"));

  // 399 MB whose format comes first is answered from the first bytes; 400 MB is not read.
  for (auto [size, expected] : {std::pair{BackupImport::kLargestBackup - 1, true},
                                std::pair{BackupImport::kLargestBackup, false}}) {
    write_text(file_, R"({"format":"quillstone/backup","docs":[)");
    ASSERT_EQ(truncate(file_.c_str(), static_cast<off_t>(size)), 0);
    EXPECT_EQ(BackupImport::is(file_), expected) << size;
  }
}

}  // namespace
}  // namespace qs
