#include "windows/page_print.h"

#include <utility>

namespace qs::windows {

PagePrinter::PagePrinter(PrintService& service, EventLoop& main, std::function<void()> afterprint)
    : service_(service), main_(main), afterprint_(std::move(afterprint)) {}

void PagePrinter::print(std::string title) {
  std::weak_ptr<const bool> alive = alive_;
  if (printing_) {
    main_.post([this, alive] {
      if (!alive.expired()) afterprint_();
    });
    return;
  }
  printing_ = true;
  main_.post([this, alive, title = std::move(title)] {
    if (alive.expired()) return;
    auto reported = std::make_shared<bool>(false);
    service_.run(PrintJob{windowTitle(title), kPrintMargin},
                 [this, alive, reported](PrintOutcome outcome) {
                   if (alive.expired() || *reported) return;
                   *reported = true;
                   printing_ = false;
                   if (outcome == PrintOutcome::kCancelled || !service_.tellsPageWhenItPrints()) {
                     afterprint_();
                   }
                 });
  });
}

}  // namespace qs::windows
