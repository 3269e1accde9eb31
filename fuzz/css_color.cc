// The page's background colour in its "chrome" message, as the window reads it for the web
// view's own background.

#include <cmath>

#include "fuzz_target.h"
#include "windows/document_window.h"

using namespace qs;

QS_FUZZ_TARGET(css_color) {
  const auto c = windows::color(input);
  if (!c) return;
  for (double part : {c->red, c->green, c->blue, c->alpha}) {
    QS_FUZZ_CHECK(std::isfinite(part) && part >= 0 && part <= 1,
                  "each part of a colour lies between 0 and 1");
  }
}
