#include "windows/document_window.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "windows/page_print.h"

namespace qs::windows {
namespace {

TEST(DocumentWindowTest, NavigationsStayInThePageOrGoOutside) {
  auto decide = [](std::string uri, bool link, bool subframe = false, bool target = true) {
    return decideNavigation({uri, false, subframe, target, link});
  };
  EXPECT_EQ(decide("quillstone://app/index.html", false), Navigation::kAllow);
  EXPECT_EQ(decide("DATA:text/plain,x", true), Navigation::kAllow);
  EXPECT_EQ(decide("https://example.com/", true), Navigation::kOpenOutside);
  EXPECT_EQ(decide("https://example.com/", false, true), Navigation::kCancel);
  EXPECT_EQ(decide("https://example.com/", false, false, false), Navigation::kAllow);
  EXPECT_EQ(decide("", true), Navigation::kCancel);
  EXPECT_EQ(decideNavigation({"https://x/", true, false, true, true}), Navigation::kDownload);

  // What WebKitGTK tells of a navigation's frame: a frame's name as its target, or nothing the
  // user did behind it (a frame the page makes); a link, a form or a click goes outside.
  EXPECT_TRUE(targetsSubframe("notes-frame", true, true));
  EXPECT_FALSE(targetsSubframe("_TOP", true, false));
  EXPECT_TRUE(targetsSubframe("", false, false));
  EXPECT_FALSE(targetsSubframe("", true, false));
  EXPECT_FALSE(targetsSubframe("", false, true));

  EXPECT_EQ(outsideAction("mailto:a@b"), OutsideAction::kOpenInDefaultApp);
  EXPECT_EQ(outsideAction("file:///home/a/x.txt"), OutsideAction::kShowInFileViewer);
  EXPECT_EQ(outsideAction("no scheme"), OutsideAction::kIgnore);
  EXPECT_FALSE(newWindowGoesOutside("quillstone://app/other"));
  EXPECT_TRUE(newWindowGoesOutside("relative/path"));

  // Files the page offers to save must be base64; the media type isn't looked at.
  EXPECT_EQ(savedFileBytes("anything,aGk="), "hi");
  EXPECT_FALSE(savedFileBytes("data:text/plain,hello there"));
  EXPECT_FALSE(savedFileBytes("no comma"));
}

struct FakePrintService final : PrintService {
  void run(const PrintJob& job, std::function<void(PrintOutcome)> done) override {
    jobs.push_back(job);
    dialogs.push_back(std::move(done));
  }
  bool tellsPageWhenItPrints() const override { return false; }
  std::vector<PrintJob> jobs;
  std::vector<std::function<void(PrintOutcome)>> dialogs;
};

// The page is answered first and every print ends in one "afterprint", cancelled or printed to
// a file, where WebKitGTK tells the page itself (shell_e2e, with the real dialog): here, the ends
// a real dialog doesn't reach.
TEST(PagePrinterTest, EveryPrintEndsInOneAfterprintWhileItsWindowLives) {
  ManualEventLoop main;
  FakePrintService service;
  int afterprints = 0;
  auto printer = std::make_unique<PagePrinter>(service, main, [&] { ++afterprints; });
  // A failure reported before the operation's end, and an end reported twice, make one.
  printer->print("Notes");
  main.runPending();
  EXPECT_EQ(std::tie(service.jobs[0].title, service.jobs[0].margin), std::tuple("Notes", 36));
  service.dialogs[0](PrintOutcome::kFailed);
  service.dialogs[0](PrintOutcome::kPrinted);
  EXPECT_EQ(afterprints, 1);

  // A window gone with its dialog up, or before the dialog came up, hears nothing.
  printer->print("A");
  main.runPending();
  printer->print("B");  // no second dialog
  printer.reset();
  main.runPending();
  service.dialogs.back()(PrintOutcome::kCancelled);
  printer = std::make_unique<PagePrinter>(service, main, [&] { ++afterprints; });
  printer->print("C");
  printer.reset();
  main.runPending();
  EXPECT_EQ(std::pair(afterprints, service.jobs.size()), std::pair(1, std::size_t{2}));
}

}  // namespace
}  // namespace qs::windows
