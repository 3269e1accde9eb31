#include "windows/document_window.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "windows/page_print.h"

namespace qs::windows {
namespace {

TEST(DocumentWindowTest, PageColoursAndTheTitle) {
  EXPECT_EQ(color("rgb(20 20 20)"), (Rgba{20 / 255.0, 20 / 255.0, 20 / 255.0, 1}));
  EXPECT_EQ(color("rgba(20, 20, 20, 0.4)")->alpha, 0.4);
  EXPECT_EQ(color("rgb(1, x, 2, 3)"), (Rgba{1 / 255.0, 2 / 255.0, 3 / 255.0, 1}));
  // Out of range is clamped, as CSS does; what isn't a finite number is no colour.
  EXPECT_EQ(color("rgb(300 -4 255 / 5.5)"), (Rgba{1, 0, 1, 1}));
  for (const char* bad : {"#141414", "white", "rgb(1, 2)", "rgb(nan 0 0)", "rgb(0 0 0 / 1e999)"}) {
    EXPECT_FALSE(color(bad)) << bad;
  }
  EXPECT_EQ(windowTitle(""), "Quillstone");
  EXPECT_EQ(windowTitle("Notes"), "Notes");
}

TEST(DocumentWindowTest, APageDragMovesTheWindowOnlyWhileItsPressIsHeld) {
  const PagePress left{1, 412.5, 30, 98765};
  for (const auto& [press, held, move] :
       std::vector<std::tuple<std::optional<PagePress>, unsigned, std::optional<MoveStart>>>{
           {left, 0b101, MoveStart{1, 412.5, 30, 98765}},  // what GDK gets: button, place, time
           {left, 0, std::nullopt},                        // released before the page asked
           {left, 0b10, std::nullopt},                     // another button is down
           {PagePress{3, 1, 2, 3}, 0b100, MoveStart{3, 1, 2, 3}},
           {PagePress{6, 1, 2, 3}, ~0u, std::nullopt},
           {std::nullopt, ~0u, std::nullopt}}) {
    EXPECT_EQ(moveFrom(press, held), move) << held;
  }
  // The page's own tree reaches GTK's from 4.14 on; before, the web view stands in for it.
  EXPECT_FALSE(pageTreeReachable(4, 8));
  EXPECT_TRUE(pageTreeReachable(4, 14));
}

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

TEST(DocumentWindowTest, ClosingSettlesOnceAndIgnoresRepeatedRequests) {
  CloseGate gate;
  int closes = 0, settles = 0;
  std::function<void()> finish;
  auto settle = [&](std::function<void()> done) {
    ++settles;
    finish = std::move(done);
  };
  gate.request(true, settle, [&] { ++closes; });
  gate.request(true, settle, [&] { ++closes; });
  EXPECT_TRUE(gate.settling());
  EXPECT_EQ(std::pair(settles, closes), std::pair(1, 0));
  finish();
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(gate.settling());
  gate.request(false, settle, [&] { ++closes; });
  EXPECT_EQ(std::pair(settles, closes), std::pair(1, 2));  // a page that never loaded isn't asked
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
TEST(PagePrinterTest, EveryPrintEndsInExactlyOneAfterprint) {
  ManualEventLoop main;
  FakePrintService service;
  int afterprints = 0;
  auto printer = std::make_unique<PagePrinter>(service, main, [&] { ++afterprints; });
  // A failure reported before the operation's end, and an end reported twice, make one each.
  printer->print("Notes");
  main.runPending();
  EXPECT_EQ(std::tie(service.jobs[0].title, service.jobs[0].margin), std::tuple("Notes", 36));
  service.dialogs[0](PrintOutcome::kFailed);
  service.dialogs[0](PrintOutcome::kPrinted);
  EXPECT_EQ(afterprints, 1);
  EXPECT_FALSE(printer->printing());
  // While a dialog is up, another print shows no second dialog but has its afterprint.
  printer->print("A");
  main.runPending();
  printer->print("B");
  main.runPending();
  EXPECT_EQ(service.jobs.size(), 2u);
  EXPECT_EQ(afterprints, 2);
  service.dialogs[1](PrintOutcome::kPrinted);
  EXPECT_EQ(afterprints, 3);

  // A window gone with its dialog up, or before the dialog came up, hears nothing.
  printer->print("A");
  main.runPending();
  printer->print("B");
  printer.reset();
  main.runPending();
  service.dialogs.back()(PrintOutcome::kCancelled);
  printer = std::make_unique<PagePrinter>(service, main, [&] { ++afterprints; });
  printer->print("C");
  printer.reset();
  main.runPending();
  EXPECT_EQ(afterprints, 3);
  EXPECT_EQ(service.jobs.size(), 3u);
}

}  // namespace
}  // namespace qs::windows
