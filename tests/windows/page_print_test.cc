#include "windows/page_print.h"

#include <gtest/gtest.h>

#include <vector>

namespace qs::windows {
namespace {

struct FakePrintService final : PrintService {
  void run(const PrintJob& job, std::function<void(PrintOutcome)> done) override {
    jobs.push_back(job);
    dialogs.push_back(std::move(done));
  }
  bool tellsPageWhenItPrints() const override { return tells_page; }
  bool tells_page = false;
  std::vector<PrintJob> jobs;
  std::vector<std::function<void(PrintOutcome)>> dialogs;
};

class PagePrinterTest : public ::testing::Test {
 protected:
  std::unique_ptr<PagePrinter> make() {
    return std::make_unique<PagePrinter>(service, main, [this] { ++afterprints; });
  }
  ManualEventLoop main;
  FakePrintService service;
  int afterprints = 0;
  std::unique_ptr<PagePrinter> printer = make();
};

TEST_F(PagePrinterTest, EveryPrintEndsInExactlyOneAfterprint) {
  // The dialog waits for the next turn: the page has its answer first.
  printer->print("");
  EXPECT_TRUE(service.jobs.empty());
  main.run_pending();
  ASSERT_EQ(service.jobs.size(), 1u);
  EXPECT_EQ(service.jobs[0].title, "Quillstone");
  EXPECT_EQ(service.jobs[0].margin, 36);
  service.dialogs[0](PrintOutcome::kCancelled);
  EXPECT_EQ(afterprints, 1);
  EXPECT_FALSE(printer->printing());

  // A failure reported before the operation's end, and an end reported twice (printing to a
  // file), still make one afterprint each.
  printer->print("Notes");
  main.run_pending();
  service.dialogs[1](PrintOutcome::kFailed);
  service.dialogs[1](PrintOutcome::kPrinted);
  printer->print("Notes");
  main.run_pending();
  service.dialogs[2](PrintOutcome::kPrinted);
  service.dialogs[2](PrintOutcome::kPrinted);
  service.dialogs[1](PrintOutcome::kPrinted);  // late, from the earlier job
  EXPECT_EQ(afterprints, 3);
  EXPECT_EQ(service.jobs[1].title, "Notes");

  // While a dialog is up, another print shows no second dialog but has its afterprint.
  printer->print("A");
  main.run_pending();
  printer->print("B");
  main.run_pending();
  EXPECT_EQ(service.jobs.size(), 4u);
  EXPECT_EQ(afterprints, 4);
  service.dialogs[3](PrintOutcome::kPrinted);
  EXPECT_EQ(afterprints, 5);
}

// WebKitGTK's print operation dispatches "afterprint" once it has run, printed or failed; only a
// cancelled dialog is left for the printer to tell.
TEST_F(PagePrinterTest, AnOperationThatTellsThePageItselfIsNotEchoed) {
  service.tells_page = true;
  for (PrintOutcome outcome :
       {PrintOutcome::kPrinted, PrintOutcome::kFailed, PrintOutcome::kCancelled}) {
    printer->print("A");
    main.run_pending();
    service.dialogs.back()(outcome);
  }
  EXPECT_EQ(afterprints, 1);
  EXPECT_FALSE(printer->printing());
}

TEST_F(PagePrinterTest, AWindowGoneWithItsDialogUpHearsNothing) {
  printer->print("A");
  main.run_pending();
  printer->print("B");  // its afterprint is still to come when the window goes
  printer.reset();
  main.run_pending();
  service.dialogs[0](PrintOutcome::kCancelled);
  EXPECT_EQ(afterprints, 0);

  printer = make();
  printer->print("C");
  printer.reset();  // before the dialog came up
  main.run_pending();
  EXPECT_EQ(service.jobs.size(), 1u);
}

}  // namespace
}  // namespace qs::windows
