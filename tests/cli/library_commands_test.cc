#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "core/json.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using testing::run_cli;
using testing::write_text;

using CliLibraryTest = testing::CliTest;

json::value first_line(const std::string& out) {
  return json::parse(out.substr(0, out.find('\n'))).value_or(json::value());
}

TEST_F(CliLibraryTest, WriteOpenSearchAndScan) {
  const std::string batch = R"({"docs":[
      {"id":"a","rev":2,"doc":{"id":"a","title":"Harbour notes","nodes":[{"text":"lanterns by the quay"}]}},
      {"id":"b","rev":1,"doc":{"id":"b","title":"Garden","nodes":[{"text":"roses","children":[{"text":"quay thoughts","ai":true}]}]}}],
      "meta":{"schema":3,"order":["b","a"]}})";
  auto written = cli({"write"}, batch);
  ASSERT_EQ(written.status, 0) << written.err;
  EXPECT_EQ(written.out, "true\n");

  auto opened = cli({"open"});
  ASSERT_EQ(opened.status, 0) << opened.err;
  auto answer = first_line(opened.out);
  EXPECT_EQ(answer.at("kind"), "ready");
  EXPECT_EQ(answer.at("state").at("docs").at(0).at("id"), "b");
  EXPECT_EQ(answer.at("revs").at("a"), 2);

  auto found = cli({"search", "quay"});
  ASSERT_EQ(found.status, 0) << found.err;
  ASSERT_EQ(std::count(found.out.begin(), found.out.end(), '\n'), 1)
      << found.out;  // not the AI bullet
  auto hit = first_line(found.out);
  EXPECT_EQ(hit.at("id"), "a");
  EXPECT_EQ(hit.at("title"), "Harbour notes");
  EXPECT_EQ(hit.at("path"), json::value((dir_ / "Writing/Harbour notes.quillstone").string()));
  EXPECT_EQ(cli({"search", "\"*NEAR("}).status, 0);

  write_text(dir_ / "Writing/Broken.quillstone/document.json", "{");
  auto scanned = cli({"scan"});
  EXPECT_EQ(first_line(scanned.out),
            *json::parse(R"([{"name":"Broken","reason":"Isn't a document the app can read."}])"));
}

TEST_F(CliLibraryTest, FailedWritesAndBadBatches) {
  auto failed = cli({"write"}, R"({"docs":[{"id":"a/b","doc":{"title":"Bad"}}]})");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(first_line(failed.out),
            json::value(json::object{
                {"message", "Couldn't write \u201cBad\u201d to Documents \u2192 Quillstone."}}));
  for (const char* bad : {"nope", "[]", "3"}) {
    auto r = cli({"write"}, bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_EQ(cli({"write"}, R"({"docs":"not a list"})").out, "true\n");
  EXPECT_EQ(cli({"write", "a", "b"}).status, 2);
  EXPECT_EQ(cli({"open", "extra"}).status, 2);
  EXPECT_EQ(cli({"move"}).status, 2);
  EXPECT_EQ(cli({"search"}).status, 2);
}

TEST_F(CliLibraryTest, MoveTheLibrary) {
  ASSERT_EQ(cli({"write"}, R"({"docs":[{"id":"a","doc":{"id":"a","title":"One"}},
                                        {"id":"b","doc":{"id":"b","title":"Two","archived":true}}]})")
                .status,
            0);
  // Onto a file, or onto the writing folder itself spelled another way: refused, nothing moves.
  write_text(dir_ / "a-file", "not a folder");
  for (const std::string& to :
       {(dir_ / "a-file").string(), (dir_ / "Writing/").string(), (dir_ / "Writing/.").string(),
        (dir_ / "Writing/Inner").string(), dir_.path().string()}) {
    auto refused = cli({"move", to});
    EXPECT_EQ(refused.status, 1) << to;
    EXPECT_TRUE(refused.out.empty()) << to;
    EXPECT_TRUE(refused.err.starts_with("quillstone-cli: ")) << refused.err;
  }
  EXPECT_NE(cli({"move", (dir_ / "a-file").string()}).err.find("isn't a folder"),
            std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Writing/One.quillstone/document.json"));

  auto moved = cli({"move", (dir_ / "Elsewhere").string()});
  ASSERT_EQ(moved.status, 0) << moved.err;
  EXPECT_EQ(first_line(moved.out), *json::parse(R"({"moved":2,"stayed":0})"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Elsewhere/One.quillstone/document.json"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Elsewhere/Archive/Two.quillstone/document.json"));
  EXPECT_EQ(cli({"get", "writingFolder"}).status, 1);  // --root is not the desktop's folder

  // Without --root the tool works on the desktop program's folder, and a move takes it along.
  auto desktop = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--support", (dir_ / "Support").string()});
    return run_cli(args, "",
                   {{"QUILLSTONE_CONFIG", (dir_ / "config").string()},
                    {"XDG_DATA_HOME", (dir_ / "data").string()},
                    {"XDG_CONFIG_HOME", (dir_ / "config").string()},
                    {"HOME", (dir_ / "home").string()}});
  };
  ASSERT_EQ(desktop({"move", (dir_ / "Elsewhere").string()}).status, 0);
  EXPECT_EQ(cli({"get", "writingFolder"}).status, 0);
  auto opened = desktop({"open"});
  EXPECT_NE(opened.out.find("\"title\":\"One\""), std::string::npos) << opened.out;
}

TEST_F(CliLibraryTest, SettingsRoundTrip) {
  EXPECT_EQ(cli({"get", "previewFormat"}).status, 1);
  EXPECT_EQ(cli({"set", "previewFormat", "2"}).status, 0);
  EXPECT_EQ(cli({"set", "openWindows", R"(["a","b"])"}).status, 0);
  EXPECT_EQ(cli({"get", "previewFormat"}).out, "2\n");
  EXPECT_EQ(cli({"get", "openWindows"}).out, "[\"a\",\"b\"]\n");
  EXPECT_EQ(cli({"set", "x", "{bad"}).status, 1);
  EXPECT_EQ(cli({"set", "x"}).status, 2);
}

}  // namespace
}  // namespace qs
