#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "core/digest.h"
#include "core/json.h"
#include "library/package.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using testing::run_cli;
using testing::TempDir;

const std::string kDoc = R"({"id":"d","title":" Hi <there> ","nodes":[{"text":"one two"}]})";

// Each rendering of a document, an envelope, or a package's file (whose images come back),
// and a thumbnail written as PNG.
TEST(CliRenderTest, EachRenderingOfADocAnEnvelopeOrAPackage) {
  EXPECT_EQ(run_cli({"render", "--title"}, kDoc).out, "Hi <there>\n");
  EXPECT_EQ(run_cli({"render", "--first-words", "-"}, kDoc).out, "one two\n");
  EXPECT_EQ(run_cli({"render", "--markdown"}, kDoc).out, "# Hi <there>\n\none two\n");
  auto html = run_cli({"render", "--html"}, kDoc);
  EXPECT_EQ(html.status, 0);
  EXPECT_NE(html.out.find("<h1>Hi &lt;there&gt;</h1><p>one two</p></body></html>"),
            std::string::npos);
  const std::string envelope = R"({"format":"quillstone/document","doc":)" + kDoc + "}";
  EXPECT_EQ(run_cli({"render", "--title"}, envelope).out, "Hi <there>\n");

  TempDir dir;
  std::string image = "data:image/png;base64," + digest::base64_encode(std::string(3000, 'z'));
  json::object doc{
      {"id", "d"}, {"title", "Pic"}, {"nodes", json::array{json::object{{"image", image}}}}};
  ASSERT_TRUE(library::writePackage(dir / "Pic.quillstone", json::object{}, doc));
  const std::string file = (dir / "Pic.quillstone/document.json").string();
  auto md = run_cli({"render", "--markdown", file});
  EXPECT_EQ(md.status, 0);
  EXPECT_NE(md.out.find("](images/"), std::string::npos) << md.out;
  EXPECT_NE(run_cli({"render", "--html", file}).out.find("<img src=\"data:image/png;base64,"),
            std::string::npos);

  auto r = run_cli({"render", "--thumbnail", (dir / "t.png").string(), "--size", "64"}, kDoc);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::read_text(dir / "t.png").substr(1, 3), "PNG");
}

TEST(CliRenderTest, BadInputAndUsageErrors) {
  for (const char* bad : {"not json", "[1,2]", "\"text\"", ""}) {
    auto r = run_cli({"render", "--title"}, bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_EQ(run_cli({"render", "--title", "/nonexistent/doc.json"}).status, 1);
  for (std::vector<std::string> args : {std::vector<std::string>{"render"},
                                        {"render", "--title", "--html"},
                                        {"render", "--bogus"},
                                        {"render", "--thumbnail"},
                                        {"render", "--thumbnail", "x.png", "--size", "0"},
                                        {"render", "--title", "a", "b"},
                                        {"frobnicate"},
                                        {}}) {
    EXPECT_EQ(run_cli(args, kDoc).status, 2);
  }
}

TEST(CliRenderTest, AnyJsonShapeRendersOrIsRefusedCleanly) {
  const std::vector<std::string> shapes = {
      R"({"title":7,"nodes":{"a":1}})",
      R"({"nodes":[1,"x",null,{"content":5,"text":[1]},{"content":[7,{"text":3,"marks":"b"}]}]})",
      R"({"nodes":[{"level":"2","children":[{"ai":null,"children":[[]]},{"image":{"src":1}}]}]})",
      R"({"nodes":[{"text":")" + std::string(2'000'000, 'w') + R"("}]})",
      std::string(600, '[') + std::string(600, ']'),
  };
  for (const auto& shape : shapes) {
    for (const char* mode : {"--markdown", "--html", "--title", "--first-words"}) {
      auto r = run_cli({"render", mode}, shape);
      EXPECT_TRUE(r.status == 0 || r.status == 1) << mode << " " << shape.substr(0, 80);
    }
    TempDir dir;
    auto r = run_cli({"render", "--thumbnail", (dir / "t.png").string()}, shape);
    EXPECT_TRUE(r.status == 0 || r.status == 1) << shape.substr(0, 80);
  }
}

}  // namespace
}  // namespace qs
