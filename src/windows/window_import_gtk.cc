// A document window's side of importing: imported files wait for its page, then go to the
// page's file input in one script call; after a backup import the page loads afresh.
#include <cstdio>

#include "core/system_log.h"
#include "import/file_import.h"
#include "platform/content_type.h"
#include "windows/document_window_gtk.h"

namespace qs::windows {

void DocumentWindowGtk::importFiles(std::vector<std::filesystem::path> files) {
  if (!pending_imports_) {
    std::weak_ptr<bool> alive = alive_;
    pending_imports_ = std::make_unique<PendingImports>(
        services_.main_loop, [this, alive](std::vector<std::filesystem::path> waiting) {
          if (!alive.expired() && *alive.lock()) importFiles(std::move(waiting));
        });
  }
  if (pending_imports_->keep(files, loaded_)) return;
  const json::array entries = importEntries(files, gioMimeTypeForExtension);
  if (entries.empty() || !scripting_) return;
  present();
  const std::string files_json = json::compact(entries).value_or("null");
  scripting_->callAsync(std::string(kImportScript), json::object{{"filesJSON", files_json}},
                        [](std::optional<json::value> result, std::optional<std::string> error) {
                          if (error || !result || !result->is_bool() || !result->get_bool()) {
                            systemLog("%s", kImportUnavailable.data());
                          }
                        });
}

void DocumentWindowGtk::reloadAfterImport() {
  if (doc_id_ && doc_id_->starts_with("_")) doc_id_.reset();
  reloadQuietly();
}

}  // namespace qs::windows
