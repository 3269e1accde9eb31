// Printing the page. The platform's print dialog and print operation sit behind PrintService;
// PagePrinter answers for what the page relies on: the page has its answer to "print" before
// the dialog comes up, and for every print it asked for it hears "afterprint" exactly once,
// whether the page was printed, the dialog cancelled or the printing failed: from the print
// operation when that tells the page itself, else from here.
//
// Threads: main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/event_loop.h"
#include "windows/document_window.h"

typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitWebView WebKitWebView;

namespace qs::windows {

enum class PrintOutcome { kPrinted, kCancelled, kFailed };

struct PrintJob {
  std::string title;             // the job's name, also the name offered for a file
  double margin = kPrintMargin;  // points, on all four sides
};

class PrintService {
 public:
  virtual ~PrintService() = default;
  // Shows the print dialog for `job` without waiting for it, then prints what the user chose.
  // `done` gets the outcome on the main thread. A platform operation may report more than one
  // outcome (a failure, then its end); PagePrinter takes the first.
  virtual void run(const PrintJob& job, std::function<void(PrintOutcome)> done) = 0;
  // Whether the print operation dispatches the page's "afterprint" itself once it has run
  // (printed or failed); a cancelled dialog never runs it.
  virtual bool tellsPageWhenItPrints() const = 0;
};

// GTK's print dialog over `parent`, then WebKitGTK's print operation of `view` (desktop build
// only). Both must outlive the service.
std::unique_ptr<PrintService> makeWebViewPrintService(WebKitWebView* view, GtkWindow* parent);

class PagePrinter {
 public:
  // `afterprint` dispatches the page's "afterprint" event. `service` and `main` must outlive
  // the printer; an outcome reported after it is gone is dropped with it.
  PagePrinter(PrintService& service, EventLoop& main, std::function<void()> afterprint);
  PagePrinter(const PagePrinter&) = delete;
  PagePrinter& operator=(const PagePrinter&) = delete;

  // The page's "print", titled `title`. The dialog comes up on the next turn of the main loop,
  // after the page has its answer. A print asked for while one is under way prints nothing
  // and has its "afterprint" at once: one dialog at a time.
  void print(std::string title);
  bool printing() const { return printing_; }

 private:
  PrintService& service_;
  EventLoop& main_;
  std::function<void()> afterprint_;
  bool printing_ = false;
  // Outcomes and posted starts hold this weakly: expired means the window is gone.
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

}  // namespace qs::windows
