// A writer killed (or its step failing) at every counted file operation in turn, and at random
// moments (fixed seed): nothing is found half done or lost. On a memory file system where there
// is one, for speed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "core/file_io.h"
#include "library/library.h"
#include "support/library_fixture.h"
#include "support/temp_dir.h"

namespace qs::library {
namespace {

using qs::testing::doc;
using qs::testing::record;
using qs::testing::TempDir;

// Runs `work` in a child process, killed with SIGKILL after `delay` (else left to end, or to
// crash at an injected fault); returns its status.
int killed(const std::function<void()>& work, std::optional<useconds_t> delay = std::nullopt) {
  const pid_t child = fork();
  if (child == 0) {
    work();
    _exit(0);
  }
  if (delay) {
    usleep(*delay);
    kill(child, SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

class CrashTest : public ::testing::Test {
 protected:
  fs::path root() const { return dir_ / "Writing"; }
  fs::path support() const { return dir_ / "Support"; }
  TempDir dir_{qs::testing::scratchFolder()};
};

// Killed, over an older version every other time: the new or the old document whole; a first
// save whole or absent; temporary files left are removed by a later scan once an hour old.
TEST_F(CrashTest, ASaveKilledAtAnyPointLeavesTheOldOrTheNewDocumentWhole) {
  auto d = doc("k", "Killed");
  d["nodes"].as_array()[0].as_object()["image"] = qs::testing::imageURL();
  const auto old = doc("k", "Killed", {}, "older words");
  const int operations = [&] {
    TempDir scratch;
    Library lib(scratch / "w", scratch / "s", {});
    file_io::injectFailure_for_testing(0, 0);
    EXPECT_TRUE(lib.write(record(d)));
    return file_io::injectFailure_for_testing(0, 0);
  }();
  ASSERT_GT(operations, 5);
  std::mt19937 rng(9);
  // Saves `d`, killed at the `nth` counted operation (none: at a random moment).
  auto killedSave = [&](int nth) {
    killed(
        [&] {
          Library lib(root(), support(), {});
          if (nth) file_io::injectFailure_for_testing(nth, file_io::kCrashForTesting);
          (void)lib.write(record(d));
        },
        nth ? std::nullopt : std::optional(static_cast<useconds_t>(rng() % 4000)));
  };
  int whole = 0, none = 0;
  for (int run = 0; run < 200; ++run) {
    fs::remove_all(root() / "Killed.quillstone");
    const bool rewrite = run % 2 == 1;
    ASSERT_TRUE(!rewrite || Library(root(), support(), {}).write(record(old)));
    killedSave(run < operations ? run + 1 : 0);
    auto scanned = Library::scan({root()});
    EXPECT_TRUE(scanned.problems.empty()) << "run " << run << ": " << scanned.problems[0].reason;
    if (scanned.found.contains("k")) {
      ++whole;
      const auto read = readRecord(scanned.found.at("k"));
      ASSERT_TRUE(read) << "run " << run;
      EXPECT_TRUE(read->at("doc") == d || (rewrite && read->at("doc") == old)) << "run " << run;
    } else {
      ++none;
      EXPECT_FALSE(rewrite) << "run " << run << ": the older version was lost";
    }
  }
  EXPECT_GT(std::min(whole, none), 0) << whole << " whole, " << none << " absent";
  // Leftovers an hour old go with the next scan; younger ones may still be in use.
  std::vector<std::string> leftovers;
  for (int nth = 1; nth <= operations && leftovers.empty(); ++nth) {
    fs::remove_all(root() / "Killed.quillstone");
    killedSave(nth);
    leftovers = qs::testing::leftovers(root());
  }
  ASSERT_FALSE(leftovers.empty());
  (void)Library::scan({root()});
  EXPECT_TRUE(fs::exists(leftovers.back()));
  for (const auto& p : leftovers)
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(2));
  (void)Library(root(), support(), {});
  for (const auto& p : leftovers) EXPECT_FALSE(fs::exists(fs::symlink_status(p))) << p;
}

// A batch killed at random moments: every package found is whole, nothing is reported missing,
// and writing the batch again finishes it with each document once.
TEST_F(CrashTest, ABatchKilledAtAnyMomentLeavesWholePackagesAndFinishesOnRetry) {
  const std::string url = qs::testing::imageURL();
  json::array batch;
  std::map<std::string, json::value> docs;
  for (int i = 0; i < 24; ++i) {
    const std::string id = "b" + std::to_string(i);
    auto d = doc(id, i % 3 == 0 ? "Shared" : "Doc " + id);
    if (i % 2 == 0) d["image"] = url;
    docs[id] = d;
    batch.push_back(record(d));
  }
  const json::object meta{{"schema", 3}};
  std::mt19937 rng(5);
  for (int run = 0; run < 12; ++run) {
    fs::remove_all(root());
    fs::remove_all(support());
    killed([&] { (void)Library(root(), support(), {}).write(batch, &meta, nullptr); },
           static_cast<useconds_t>(2000 + rng() % 60000));

    SCOPED_TRACE("run " + std::to_string(run));
    Library lib(root(), support(), {});
    for (const auto& [id, r] : lib.allRecords()) EXPECT_EQ(r.at("doc"), docs.at(id));
    EXPECT_TRUE(lib.problems().empty()) << lib.problems()[0].reason;
    EXPECT_EQ(lib.write(batch, &meta, nullptr), std::nullopt);
    const auto found = lib.allRecords();
    ASSERT_EQ(found.size(), docs.size());
    for (const auto& [id, r] : found) EXPECT_EQ(r.at("doc"), docs.at(id));
    std::set<fs::path> packages;
    for (const auto& [id, path] : lib.ledger()) packages.insert(path);
    EXPECT_EQ(packages.size(), docs.size());
    EXPECT_TRUE(Library(root(), support(), {}).openWorkspace().at("notices").as_array().empty());
  }
}

// A move interrupted at every step, as a row each: an error thrown where it renames packages (the
// library stays up and settles it), a kill where it copies them across file systems (a library
// restarted on either folder settles it). Either way the move settles by its journal (undone on
// the old folder, finished on the new one), every document is found once where the library now
// works, images and all, and the folder left behind holds only the document both folders had.
// Uninterrupted, it counts the documents moved and those already there (which stay behind) and
// tells its progress, gives a name taken there a number, and keeps the reserved ones in the
// support folder.
TEST_F(CrashTest, AMoveInterruptedAtAnyStepFindsEveryDocumentOnce) {
  const std::string url = qs::testing::imageURL();
  const fs::path templates = dir_ / "template", to = dir_ / "New";
  {
    Library lib(templates / "Writing", templates / "Support", {});
    ASSERT_TRUE(lib.write(record(doc("a", "Same Title", {{"image", url}}))));
    ASSERT_TRUE(lib.write(record(doc("b", "Old", {{"archived", true}}))));
    ASSERT_TRUE(lib.write(record(doc("c", "Both"))));
    ASSERT_TRUE(lib.write(record(doc("_r", "Reserved"))));
    ASSERT_TRUE(writePackage(templates / "New/Both.quillstone", {}, doc("c", "Both")));
    ASSERT_TRUE(writePackage(templates / "New/Same Title.quillstone", {}, doc("x", "Same Title")));
  }
  auto reset = [&] {
    for (const char* name : {"Writing", "Support", "New"}) {
      fs::remove_all(dir_ / name);
      fs::copy(templates / name, dir_ / name, fs::copy_options::recursive);
    }
  };
  auto settled = [&](Library& lib) {
    const auto records = lib.allRecords();
    for (const char* id : {"a", "b", "c"}) {
      ASSERT_TRUE(records.contains(id)) << id;
      EXPECT_EQ(lib.url(id)->parent_path().parent_path() == lib.root(), std::string(id) == "b");
    }
    EXPECT_EQ(records.at("a").at("doc").at("image"), json::value(url));
    EXPECT_EQ(lib.url("_r"), support() / "reserved/_r.quillstone");
    for (const auto& p : lib.problems()) ADD_FAILURE() << p.name << ": " << p.reason;
    EXPECT_FALSE(fs::exists(support() / "move.json"));
    const fs::path other = lib.root() == to ? root() : to;
    for (const auto& [id, package] : Library::scan({other, other / "Archive"}).found)
      EXPECT_TRUE(id == "c" || id == "x") << id;
  };
  for (const bool crash : {false, true}) {
    Library::copyEveryMoveForTesting(crash);
    reset();
    file_io::injectFailure_for_testing(0, 0);
    int operations = 0;
    {
      Library lib(root(), support(), {});
      std::vector<std::pair<int, int>> told;  // placed of total, as the progress bar hears them
      const auto result =
          lib.moveAll(to, [&](int placed, int total) { told.emplace_back(placed, total); });
      operations = file_io::injectFailure_for_testing(0, 0);  // the move's, not the library's end
      EXPECT_EQ(std::tie(result.moved, result.stayed, result.failed), std::tuple(2, 1, ""));
      EXPECT_EQ(told, (std::vector<std::pair<int, int>>{{0, 2}, {1, 2}, {2, 2}}));
      EXPECT_EQ(lib.url("a"), to / "Same Title 2.quillstone");
      EXPECT_EQ(lib.url("c"), to / "Both.quillstone");
      // Behind: the document both folders had, and the emptied archive.
      EXPECT_EQ(qs::testing::namesIn(root()),
                (std::vector<std::string>{"Archive", "Both.quillstone"}));
      EXPECT_EQ(lib.ledger().at("a"), (to / "Same Title 2.quillstone").string());
      settled(lib);
    }
    ASSERT_GT(operations, 10);
    for (int nth = 1; nth <= operations; ++nth) {
      SCOPED_TRACE((crash ? "killed at " : "thrown at ") + std::to_string(nth));
      reset();
      if (crash) {
        ASSERT_TRUE(WIFSIGNALED(killed([&] {
          Library lib(root(), support(), {});
          file_io::injectFailure_for_testing(nth, file_io::kCrashForTesting);
          (void)lib.moveAll(to);
        })));
        // Restarted on the new folder every other time the move got that far.
        Library lib(nth % 2 == 0 && fs::exists(support() / "move.json") ? to : root(), support(),
                    {});
        settled(lib);
        continue;
      }
      Library lib(root(), support(), {});
      file_io::injectFailure_for_testing(nth, file_io::kThrowForTesting);
      const auto result = lib.moveAll(to);
      if (file_io::injectFailure_for_testing(0, 0) < nth) break;  // every step has been tried
      EXPECT_EQ(result.failed, "an injected fault");
      const bool switched = lib.root() == to;
      EXPECT_TRUE(switched || lib.root() == root());
      EXPECT_EQ(std::pair(result.moved, result.stayed),
                switched ? std::pair(2, 1) : std::pair(0, 3));
      settled(lib);
    }
  }
  Library::copyEveryMoveForTesting(false);
}

}  // namespace
}  // namespace qs::library
