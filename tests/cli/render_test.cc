#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "core/build_info.h"
#include "core/digest.h"
#include "core/json.h"
#include "core/text.h"
#include "library/package.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using testing::runCLI;
using testing::TempDir;

const std::string kDoc = R"({"id":"d","title":" Hi <there> ","nodes":[{"text":"one two"}]})";

TEST(CliHelpTest, UsageErrorsAndVersion) {
  const auto overview = runCLI({"--help"});
  EXPECT_EQ(overview.status, 0);
  EXPECT_EQ(runCLI({"--root", "/nowhere", "-h"}).out, overview.out);
  EXPECT_EQ(runCLI({"help", "render"}).status, 0);
  const auto unknown = runCLI({"help", "frobnicate"});
  EXPECT_EQ(std::tie(unknown.status, unknown.err, unknown.out),
            std::tuple(2, "quillstone-cli help: no command \"frobnicate\"\n", ""));
  EXPECT_EQ(runCLI({"--version"}).out, std::string("quillstone-cli ") + build::kVersion + "\n");
  for (const char* line : {"help render open", "--version extra", "", "frobnicate", "render",
                           "render --title --html", "render --bogus", "render --thumbnail",
                           "render --thumbnail x.png --size 0", "render --title a b"}) {
    const auto args = text::splitOnWhitespace(line);
    EXPECT_EQ(runCLI(args, kDoc).status, 2) << line;
  }
}

// Each rendering of a document, an envelope, or a package's file (whose images come back),
// and a thumbnail written as PNG; what isn't a document is refused on one line. (Odd shapes
// are the renderer's own tests'.)
TEST(CliRenderTest, EachRenderingOfADocAnEnvelopeOrAPackage) {
  EXPECT_EQ(runCLI({"render", "--title"}, kDoc).out, "Hi <there>\n");
  EXPECT_EQ(runCLI({"render", "--first-words", "-"}, kDoc).out, "one two\n");
  EXPECT_EQ(runCLI({"render", "--markdown"}, kDoc).out, "# Hi <there>\n\none two\n");
  EXPECT_NE(runCLI({"render", "--html"}, kDoc).out.find("<h1>Hi &lt;there&gt;</h1><p>one two</p>"),
            std::string::npos);
  const std::string envelope = R"({"format":"quillstone/document","doc":)" + kDoc + "}";
  EXPECT_EQ(runCLI({"render", "--title"}, envelope).out, "Hi <there>\n");

  TempDir dir;
  std::string image = "data:image/png;base64," + digest::base64Encode(std::string(3000, 'z'));
  json::object doc{
      {"id", "d"}, {"title", "Pic"}, {"nodes", json::array{json::object{{"image", image}}}}};
  ASSERT_TRUE(library::writePackage(dir / "Pic.quillstone", json::object{}, doc));
  const std::string file = (dir / "Pic.quillstone/document.json").string();
  EXPECT_NE(runCLI({"render", "--markdown", file}).out.find("](images/"), std::string::npos);
  EXPECT_NE(runCLI({"render", "--html", file}).out.find("<img src=\"data:image/png;base64,"),
            std::string::npos);
  auto r = runCLI({"render", "--thumbnail", (dir / "t.png").string(), "--size", "64"}, kDoc);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::readText(dir / "t.png").substr(1, 3), "PNG");

  for (const char* bad : {"not json", "[1,2]", ""}) {
    auto refused = runCLI({"render", "--title"}, bad);
    EXPECT_EQ(std::tie(refused.status, refused.out), std::tuple(1, "")) << bad;
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
  }
  EXPECT_EQ(runCLI({"render", "--title", "/nonexistent/doc.json"}).status, 1);
}

}  // namespace
}  // namespace qs
