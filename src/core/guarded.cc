#include "core/guarded.h"

#include <cstdio>

#include "core/system_log.h"

namespace qs {

void reportGuardedFailure(const char* what, const char* reason) noexcept {
  if (!what) {
    systemLog("%s", reason ? reason : "an unexpected failure");
  } else if (reason) {
    systemLog("%s failed: %s", what, reason);
  } else {
    systemLog("%s failed", what);
  }
}

}  // namespace qs
