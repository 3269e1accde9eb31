#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "core/json.h"
#include "core/text.h"
#include "support/temp_dir.h"

// "write" and "open" on two computers are the sync lane's (tests/sync), "watch" among them.
namespace qs {
namespace {

using testing::runCLI;
using testing::writeText;
using CliLibraryTest = testing::CliTest;

json::value firstLine(const std::string& out) {
  return json::parse(out.substr(0, out.find('\n'))).value_or(json::value());
}

TEST_F(CliLibraryTest, WriteSearchScanAndTheirRefusals) {
  const std::string batch = R"({"docs":[
      {"id":"a","rev":2,"doc":{"id":"a","title":"Harbour notes","nodes":[{"text":"lanterns by the quay"}]}},
      {"id":"b","rev":1,"doc":{"id":"b","title":"Garden","nodes":[{"text":"roses","children":[{"text":"quay thoughts","ai":true}]}]}}]})";
  ASSERT_EQ(cli({"write"}, batch).out, "true\n");
  auto found = cli({"search", "quay"});
  ASSERT_EQ(std::count(found.out.begin(), found.out.end(), '\n'), 1) << found.out;  // not the AI's
  EXPECT_EQ(firstLine(found.out),
            *json::parse(R"({"id":"a","title":"Harbour notes","path":")" +
                         (dir_ / "Writing/Harbour notes.quillstone").string() + "\"}"));
  EXPECT_EQ(cli({"search", "\"*NEAR("}).status, 0);
  writeText(dir_ / "Writing/Broken.quillstone/document.json", "{");
  EXPECT_EQ(firstLine(cli({"scan"}).out),
            *json::parse(R"([{"name":"Broken","reason":"Isn't a document the app can read."}])"));

  auto failed = cli({"write"}, R"({"docs":[{"id":"a/b","doc":{"title":"Bad"}}]})");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(firstLine(failed.out),
            json::value(json::object{
                {"message", "Couldn't write \u201cBad\u201d to Documents \u2192 Quillstone."}}));
  for (const char* bad : {"nope", "[]"}) {
    auto r = cli({"write"}, bad);
    EXPECT_EQ(std::tie(r.status, r.out), std::tuple(1, "")) << bad;
  }
  for (const char* line : {"write a b", "open extra", "move", "search", "set x"})
    EXPECT_EQ(cli(text::splitOnWhitespace(line)).status, 2) << line;
}

TEST_F(CliLibraryTest, MoveTheLibraryAndTheSettings) {
  ASSERT_EQ(cli({"write"}, R"({"docs":[{"id":"a","doc":{"id":"a","title":"One"}},
                                        {"id":"b","doc":{"id":"b","title":"Two","archived":true}}]})")
                .status,
            0);
  // Onto a file, or onto the writing folder itself spelled another way: refused, nothing moves.
  writeText(dir_ / "a-file", "not a folder");
  EXPECT_NE(cli({"move", (dir_ / "a-file").string()}).err.find("isn't a folder"),
            std::string::npos);
  for (const std::string& to :
       {(dir_ / "Writing/.").string(), (dir_ / "Writing/Inner").string(), dir_.path().string()}) {
    auto refused = cli({"move", to});
    EXPECT_EQ(std::tie(refused.status, refused.out), std::tuple(1, "")) << to;
    EXPECT_TRUE(refused.err.starts_with("quillstone-cli: ")) << refused.err;
  }
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Writing/One.quillstone/document.json"));

  auto moved = cli({"move", (dir_ / "Elsewhere").string()});
  EXPECT_EQ(firstLine(moved.out), *json::parse(R"({"moved":2,"stayed":0})")) << moved.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Elsewhere/Archive/Two.quillstone/document.json"));
  EXPECT_EQ(cli({"get", "writingFolder"}).status, 1);  // --root is not the desktop's folder

  // Without --root the tool works on the desktop program's folder, and a move takes it along.
  auto desktop = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--support", (dir_ / "Support").string()});
    auto home = env();
    home.insert(
        {{"XDG_CONFIG_HOME", (dir_ / "config").string()}, {"HOME", (dir_ / "home").string()}});
    return runCLI(args, "", home);
  };
  ASSERT_EQ(desktop({"move", (dir_ / "Elsewhere").string()}).status, 0);
  EXPECT_EQ(cli({"get", "writingFolder"}).status, 0);
  EXPECT_NE(desktop({"open"}).out.find("\"title\":\"One\""), std::string::npos);

  EXPECT_EQ(cli({"get", "nothing"}).status, 1);
  EXPECT_EQ(cli({"set", "openWindows", R"(["a","b"])"}).status, 0);
  EXPECT_EQ(cli({"get", "openWindows"}).out, "[\"a\",\"b\"]\n");
  EXPECT_EQ(cli({"set", "x", "{bad"}).status, 1);
}

}  // namespace
}  // namespace qs
