#include <gio/gio.h>

#include "auth/browser_sign_in.h"

namespace qs::auth {

std::optional<LinkHandler> defaultLinkHandler() {
  g_autoptr(GAppInfo) info = g_app_info_get_default_for_uri_scheme("quillstone");
  if (!info) return std::nullopt;
  LinkHandler handler;
  if (const char* id = g_app_info_get_id(info)) handler.id = id;
  if (const char* command = g_app_info_get_executable(info)) {
    g_autofree char* found = g_find_program_in_path(command);
    if (found) handler.executable = found;
  }
  return handler;
}

}  // namespace qs::auth
