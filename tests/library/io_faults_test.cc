// A full disk, an I/O error or a refused permission at each step of writing every file kept beside
// the documents: the previous file stays intact, no temporary file is left, the failure is told as
// each caller tells it, and everything works again once the fault is gone.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "claude/claude_bridge.h"
#include "core/file_io.h"
#include "library/images.h"
#include "library/library.h"
#include "library/package.h"
#include "platform/prefs.h"
#include "preview/search_index.h"
#include "support/library_fixture.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using testing::leftovers;
using testing::readText;
using testing::TempDir;
using testing::writeText;

constexpr int kErrors[] = {ENOSPC, EIO, EACCES};

// Runs `step` with its n-th file operation failing with each error, for n = 1, 2, … until a run
// meets no fault; `check` is told the error and whether it fell within the step.
void atEveryStep(const std::function<void()>& step,
                 const std::function<void(int error, bool faulted)>& check) {
  for (int error : kErrors) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(std::strerror(error)) + " at operation " + std::to_string(n));
      file_io::injectFailure_for_testing(n, error);
      step();
      const bool faulted = file_io::injectFailure_for_testing(0, 0) >= n;
      check(error, faulted);
      if (::testing::Test::HasFatalFailure() || !faulted) break;
      ASSERT_LT(n, 400) << "the step never ends";
    }
  }
}

std::optional<json::value> jsonAt(const fs::path& file) {
  auto text = file_io::readFile(file);
  if (!text) return std::nullopt;
  return json::parse(*text);
}

json::object document(const std::string& id, const std::string& title) {
  return testing::record(testing::doc(id, title, {}, title));
}

// A batch that adds one document and rewrites another (its picture kept as a file), with the
// library's own files: the ledger, "workspace.json" and "pretext.json"; then a restore point, a
// setting and a capture. A document that fails keeps its previous version and is named in the
// batch's message; one written holds the whole new version; the library's files and the capture
// fail silently, restore points and settings say so (false); each is whole or as before.
TEST(IOFaultsTest, DocumentsAndLibraryFilesKeepTheirPreviousVersionAndALaterWriteCatchesUp) {
  TempDir dir{testing::scratchFolder()};  // for speed: hundreds of whole writes
  const fs::path support = dir / "Support";
  library::Library library(dir / "Writing", support, {});
  Prefs prefs(dir / "config" / "settings.json");
  ASSERT_TRUE(prefs.set("kept", "yes"));
  const json::object firstMeta{{"schema", 3}, {"order", json::array{"a"}}};
  const json::object firstPretext{{"pretext", "first"}};
  ASSERT_EQ(library.write(json::array{document("a", "Alpha")}, &firstMeta, &firstPretext),
            std::nullopt);
  ASSERT_TRUE(library.keepRestorePoint(json::object{{"format", "quillstone/backup"}}));

  int round = 0;
  std::string id;
  json::object meta, pretext, alpha;
  json::value alphaBefore = library.allRecords().at("a").at("doc");
  std::optional<json::value> ledgerBefore = jsonAt(support / "ledger.json"),
                             settings = jsonAt(prefs.file()), metaBefore = firstMeta,
                             pretextBefore = firstPretext;
  std::optional<std::string> message, capture;
  auto points = testing::tree(support / "restore-points");
  bool kept = false, stored = false;
  auto writeBatch = [&] {
    return library.write(json::array{document(id, "Doc " + id), testing::record(alpha, round + 1)},
                         &meta, &pretext);
  };
  atEveryStep(
      [&] {
        id = "d" + std::to_string(++round);
        meta = {{"schema", 3}, {"order", json::array{json::value(id)}}};
        pretext = {{"pretext", id}};
        alpha = testing::doc("a", "Alpha", {{"image", testing::imageURL()}}, id);
        message = writeBatch();
        kept = library.keepRestorePoint(json::object{{"format", "quillstone/backup"}, {"id", id}});
        stored = prefs.set("round", round);
        images::putCapture(support, "c-1", id);
      },
      [&](int, bool faulted) {
        const auto pointsBefore = std::exchange(points, testing::tree(support / "restore-points"));
        EXPECT_TRUE(kept ? json::parse(points.rbegin()->second)->at("id") == json::value(id)
                         : points == pointsBefore);
        const auto settingsBefore = std::exchange(settings, jsonAt(prefs.file()));
        ASSERT_TRUE(settings && settings->at("kept") == "yes");
        EXPECT_TRUE(stored ? settings->at("round") == round : settings == settingsBefore);
        EXPECT_EQ(prefs.getInteger("round"), round) << "kept for this run either way";
        const auto captureBefore = std::exchange(capture, images::capture(support, "c-1"));
        EXPECT_TRUE(capture == captureBefore || capture == id);
        const auto ledger = jsonAt(support / "ledger.json");
        ASSERT_TRUE(ledger && ledger->is_object());
        const bool listed = ledger->as_object().contains(id);
        json::object expected = ledgerBefore->as_object();
        if (listed) expected[id] = ledger->as_object().at(id);
        EXPECT_EQ(*ledger, json::value(expected)) << "only the new document may be added";
        for (const auto& [file, before, now] :
             {std::tuple{"workspace.json", &metaBefore, &meta},
              std::tuple{"pretext.json", &pretextBefore, &pretext}}) {
          const auto on_disk = jsonAt(support / file);
          ASSERT_TRUE(on_disk) << file;
          EXPECT_TRUE(*on_disk == **before || *on_disk == json::value(*now)) << file;
        }
        const auto a = library::readRecord(*library.url("a"));
        ASSERT_TRUE(a) << "the document rewritten is lost";
        const bool rewritten = a->at("doc") == json::value(alpha);
        EXPECT_TRUE(rewritten || a->at("doc") == alphaBefore) << "half a document";
        const auto added = library.url(id) ? library::readRecord(*library.url(id)) : std::nullopt;
        EXPECT_TRUE(added || !listed) << "listed but not readable";
        EXPECT_TRUE(!added || added->at("doc").at("title") == json::value("Doc " + id));
        const std::string failed = std::string(added ? "" : "\u201cDoc " + id + "\u201d") +
                                   (added || rewritten ? "" : ", ") +
                                   (rewritten ? "" : "\u201cAlpha\u201d");
        EXPECT_EQ(
            message.value_or(""),
            failed.empty() ? "" : "Couldn't write " + failed + " to Documents \u2192 Quillstone.");
        EXPECT_TRUE(faulted || !message);
        EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
        // Without the fault the same write goes through, and the ledger on disk catches up.
        ASSERT_EQ(writeBatch(), std::nullopt);
        alphaBefore = json::value(alpha);
        ledgerBefore = jsonAt(support / "ledger.json");
        EXPECT_TRUE(ledgerBefore->as_object().contains(id)) << "the ledger on disk fell behind";
        json::object inMemory;
        for (const auto& [key, path] : library.ledger()) inMemory[key] = path;
        EXPECT_EQ(*ledgerBefore, json::value(inMemory));
        metaBefore = json::value(meta);
        pretextBefore = json::value(pretext);
      });
  EXPECT_EQ(library.allRecords().size(), static_cast<std::size_t>(round) + 1);
}

struct NoWindows : claude::ReplyTargets {
  std::shared_ptr<claude::ReplyTarget> targetFor(const std::optional<std::string>&) override {
    return nullptr;
  }
};

// A request that can't be written is told to the page with the system's words; a refusal whose
// log line can't be written keeps the log as it was: a line is added whole or not at all.
TEST(IOFaultsTest, RequestFilesAndTheLogOfRefusedRepliesAreWholeOrAsBefore) {
  TempDir dir;
  const fs::path root = dir / "Writing";
  fs::create_directories(root);
  Prefs prefs(dir / "settings.json");
  NoWindows windows;
  claude::ClaudeBridge bridge([&] { return root; }, dir.path(), prefs, nullptr, windows);
  bridge.setEnabled(true);
  const std::string id = "r-0123abcd-4567-89ab-cdef-0123456789ab";
  const fs::path request = bridge.outboxFolder() / (id + ".json");
  auto ask = [&](const std::string& title) {
    return bridge.ask(json::object{{"requestId", id},
                                   {"doc", json::object{{"id", "d1"}, {"title", title}}},
                                   {"thought", json::object{{"id", "t1"}}},
                                   {"thread", json::array{json::object{{"text", "Why?"}}}}});
  };

  int round = 0;
  std::optional<std::string> written;
  std::pair<bool, std::optional<std::string>> asked;
  atEveryStep(
      [&] { asked = ask("Title " + std::to_string(++round)); },
      [&](int error, bool faulted) {
        const auto before = std::exchange(written, file_io::readFile(request));
        if (asked.first) {
          ASSERT_TRUE(written);
          EXPECT_EQ(json::parse(*written)->at("doc").at("title"),
                    json::value("Title " + std::to_string(round)));
        } else {
          EXPECT_TRUE(faulted);
          EXPECT_EQ(written, before) << "the previous request changed";
          ASSERT_TRUE(asked.second);
          EXPECT_TRUE(asked.second->starts_with("The request couldn't be written for Claude: "))
              << *asked.second;
          EXPECT_TRUE(asked.second->ends_with(std::strerror(error))) << *asked.second;
        }
        EXPECT_EQ(leftovers(root), std::vector<std::string>{});
      });

  // Refusals: a reply that isn't named for a request, made anew each round.
  const fs::path inbox = bridge.inboxFolder();
  const fs::path log = inbox / "ignored" / "log.txt";
  writeText(log, "an earlier line\n");
  std::string logBefore = readText(log);
  atEveryStep(
      [&] {
        writeText(inbox / "notes.json", "{\"round\": " + std::to_string(++round) + "}");
        bridge.processInbox();
      },
      [&](int, bool) {
        const std::string now = readText(log);
        ASSERT_TRUE(now.starts_with(logBefore)) << "the log lost what it had";
        const std::string added = now.substr(logBefore.size());
        EXPECT_TRUE(added.empty() ||
                    (added.ends_with("  notes.json  its name isn't a request id\n") &&
                     added.find('\n') == added.size() - 1))
            << added;
        EXPECT_EQ(leftovers(root), std::vector<std::string>{});
        // Without the fault, the reply goes aside (at the latest at the next pass).
        bridge.processInbox();
        EXPECT_FALSE(fs::exists(inbox / "notes.json"));
        EXPECT_EQ(json::parse(readText(inbox / "ignored" / "notes.json"))->at("round"), round);
        logBefore = readText(log);
      });
}

// The search index: a transaction that meets a fault leaves the index as it was (and whole);
// nothing is told, and the next update puts it right, even when the fault came while opening.
TEST(IOFaultsTest, SearchIndexKeepsWhatItHadAndTheNextUpdateCatchesUp) {
  TempDir dir;
  const fs::path database = dir / "Support" / "search-index.sqlite3";
  auto docWith = [](const std::string& word) {
    return json::object{{"title", word}, {"nodes", json::array{json::object{{"text", word}}}}};
  };
  auto integrity = [&] {
    sqlite3* db = nullptr;
    std::string result = "unopened";
    auto take = [](void* out, int, char** values, char**) {
      *static_cast<std::string*>(out) = values[0] ? values[0] : "";
      return 0;
    };
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
      sqlite3_exec(db, "PRAGMA integrity_check", take, &result, nullptr);
    sqlite3_close(db);
    return result;
  };
  auto found = [](SearchIndex& index, const std::string& word) {
    const auto hits = index.search(word);
    return hits.size() == 1 ? hits[0].id : std::string();
  };

  int round = 0;
  std::string word;
  std::unique_ptr<SearchIndex> index;
  atEveryStep(
      [&] {
        // Every other round starts a new index object, so the faults also meet the opening.
        if (round % 2 == 0) index = makeSQLiteSearchIndex(database, true);
        word = "word" + std::to_string(++round);
        index->update("d" + std::to_string(round), docWith(word), dir / "P.quillstone");
        index->flush();
      },
      [&](int, bool) {
        if (round > 1) {
          EXPECT_EQ(found(*index, "alpha"), "a") << "lost what it had";
        }
        index->update("d" + std::to_string(round), docWith(word), dir / "P.quillstone");
        if (round == 1) index->update("a", docWith("alpha"), dir / "A.quillstone");
        EXPECT_EQ(found(*index, word), "d" + std::to_string(round));
        EXPECT_EQ(integrity(), "ok");
        for (const auto& entry : fs::directory_iterator(database.parent_path())) {
          const std::string name = entry.path().filename();
          EXPECT_TRUE(name.starts_with("search-index.sqlite3")) << name;
          EXPECT_FALSE(name.ends_with(".corrupt")) << "a fault taken for damage";
        }
      });
}

}  // namespace
}  // namespace qs
