#include "platform/content_type.h"

#include <gio/gio.h>

namespace qs {

std::string gioMimeTypeForExtension(std::string_view extension) {
  if (extension.empty()) return std::string(kUnknownMimeType);
  // Guess from a made-up name, so that the answer depends on the extension alone and not on
  // whole-name patterns ("README*", "Makefile") of the real file's name.
  const std::string name = "file." + std::string(extension);
  gboolean uncertain = FALSE;
  g_autofree gchar* type = g_content_type_guess(name.c_str(), nullptr, 0, &uncertain);
  // With no data to look at, an extension no pattern matches comes back as the generic type,
  // marked uncertain. An extension claimed by two types ("html", "ts") is uncertain too but
  // still names a real type, so it is the generic type, not the flag, that means "unknown".
  if (!type || g_content_type_is_unknown(type)) return std::string(kUnknownMimeType);
  g_autofree gchar* mime = g_content_type_get_mime_type(type);
  if (!mime || *mime == '\0') return std::string(kUnknownMimeType);
  return mime;
}

}  // namespace qs
