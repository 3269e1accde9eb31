#include "core/guarded.h"

#include <cstdio>

namespace qs {

void reportGuardedFailure(const char* what, const char* reason) noexcept {
  if (!what) {
    std::fprintf(stderr, "Quillstone: %s\n", reason ? reason : "an unexpected failure");
  } else if (reason) {
    std::fprintf(stderr, "Quillstone: %s failed: %s\n", what, reason);
  } else {
    std::fprintf(stderr, "Quillstone: %s failed\n", what);
  }
}

}  // namespace qs
