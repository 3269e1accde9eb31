// The one wall between C callbacks (GLib, GTK, WebKit) and C++: exceptions never cross into C.
#pragma once

#include <cstdio>
#include <exception>

namespace qs {

template <typename F>
void guarded(F&& f) noexcept {
  try {
    f();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Quillstone: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Quillstone: an unexpected failure\n");
  }
}

}  // namespace qs
