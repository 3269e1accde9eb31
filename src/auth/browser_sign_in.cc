#include "auth/browser_sign_in.h"

#include "core/identity.h"

namespace qs::auth {

bool reachesThisProgram(const std::optional<LinkHandler>& handler,
                        const std::filesystem::path& self) {
  if (!handler) return false;
  if (handler->id == std::string(identity::kApplicationId) + ".desktop") return true;
  std::error_code ec;
  return !handler->executable.empty() && !self.empty() &&
         std::filesystem::equivalent(handler->executable, self, ec);
}

}  // namespace qs::auth
