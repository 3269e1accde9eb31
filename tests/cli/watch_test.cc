#include <gtest/gtest.h>
#include <signal.h>

#include "cli/cli_runner.h"
#include "core/json.h"
#include "library/package.h"

namespace qs::testing {
namespace {

// quillstone-cli watch as a script uses it: started, fed changes, stopped with SIGTERM.
TEST_F(CliTest, WatchReportsOutsideChangesAsLinesAndStopsCleanly) {
  const auto doc = [](std::string_view text) {
    return json::object{
        {"id", "known"}, {"title", "known"}, {"nodes", json::array{json::object{{"text", text}}}}};
  };
  ASSERT_TRUE(library::writePackage(dir_ / "Writing/Known.quillstone", json::object{{"rev", 3}},
                                    doc("before")));
  auto environment = env();
  environment["QUILLSTONE_DEBUG"] = "1";
  CliSession watch(places({"watch"}), environment);
  ASSERT_TRUE(watch.waitForError("watching"));

  // Another program changes a known document, then removes it.
  ASSERT_TRUE(library::writePackage(dir_ / "staged/Known.quillstone", json::object{{"rev", 1}},
                                    doc("after")));
  std::filesystem::remove_all(dir_ / "Writing/Known.quillstone");
  std::filesystem::rename(dir_ / "staged/Known.quillstone", dir_ / "Writing/Known.quillstone");
  auto records = json::parse(watch.line().value_or(""));
  ASSERT_TRUE(records && records->is_array());
  ASSERT_EQ(records->as_array().size(), 1u);
  EXPECT_EQ(records->at(0).at("rev"), 4);
  EXPECT_EQ(records->at(0).at("doc").at("nodes").at(0).at("text"), "after");

  std::filesystem::remove_all(dir_ / "Writing/Known.quillstone");
  records = json::parse(watch.line().value_or(""));
  ASSERT_TRUE(records);
  EXPECT_EQ(records->at(0).at("id"), "known");
  EXPECT_EQ(records->at(0).at("deleted"), true);
  EXPECT_EQ(watch.finish(SIGTERM).status, 0);
}

}  // namespace
}  // namespace qs::testing
