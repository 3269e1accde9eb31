#include "import/file_import.h"

#include <algorithm>
#include <cctype>

#include "core/digest.h"
#include "core/file_io.h"
#include "import/backup_import.h"

namespace qs {

namespace fs = std::filesystem;

const std::string_view kImportScript =
    "const files = JSON.parse(filesJSON);\n"
    "const input = document.querySelector('input[type=file][aria-label=\"Files to import\"]');\n"
    "if (!input) return false;\n"
    "// Several files wait in the library, as they do when dropped there.\n"
    "if (files.length > 1 && !document.querySelector(\".library\")) {\n"
    "  window.QuillstoneApp?.run?.(\"library\");\n"
    "  await new Promise((r) => setTimeout(r, 350));\n"
    "}\n"
    "const dt = new DataTransfer();\n"
    "for (const f of files) {\n"
    "  const bytes = Uint8Array.from(atob(f.data), (c) => c.charCodeAt(0));\n"
    "  dt.items.add(new File([bytes], f.name, { type: f.type }));\n"
    "}\n"
    "input.files = dt.files;\n"
    "input.dispatchEvent(new Event(\"change\", { bubbles: true }));\n"
    "return true;";

std::string lowerExtension(const fs::path& file) {
  std::string ext = file.extension().string();
  if (!ext.empty()) ext.erase(0, 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

bool isImportable(const fs::path& file) {
  const std::string ext = lowerExtension(file);
  return std::find(kImportableExtensions.begin(), kImportableExtensions.end(), ext) !=
         kImportableExtensions.end();
}

ChosenFiles splitChosen(const std::vector<fs::path>& chosen) {
  ChosenFiles out;
  for (const auto& file : chosen) {
    if (lowerExtension(file) == "json" && BackupImport::is(file)) {
      out.backups.push_back(file);
    } else {
      out.files.push_back(file);
    }
  }
  return out;
}

json::array importEntries(const std::vector<fs::path>& files, const ContentTypeLookup& mime_type) {
  json::array entries;
  for (const auto& file : files) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) continue;  // a folder or a device reads as nothing
    auto bytes = file_io::readFile(file);
    if (!bytes) continue;
    std::string type = mime_type ? mime_type(lowerExtension(file)) : std::string();
    if (type == kUnknownMimeType) type.clear();
    entries.push_back(json::object{{"name", file.filename().string()},
                                   {"type", std::move(type)},
                                   {"data", digest::base64Encode(*bytes)}});
  }
  return entries;
}

ImportBatch::~ImportBatch() {
  if (timer_) loop_.cancel(*timer_);
}

void ImportBatch::add(const std::vector<fs::path>& files) {
  if (files.empty()) return;
  batch_.insert(batch_.end(), files.begin(), files.end());
  if (timer_) loop_.cancel(*timer_);
  timer_ = loop_.postAfter(kImportBatchDelay, [this] {
    timer_.reset();
    flush_(std::exchange(batch_, {}));
  });
}

PendingImports::~PendingImports() {
  for (auto id : timers_) loop_.cancel(id);
}

bool PendingImports::keep(const std::vector<fs::path>& files, bool page_loaded) {
  if (page_loaded) return false;
  pending_.insert(pending_.end(), files.begin(), files.end());
  return true;
}

void PendingImports::pageLoaded() {
  if (pending_.empty()) return;
  timers_.push_back(loop_.postAfter(
      kPendingImportsDelay, [this, files = std::exchange(pending_, {})] { deliver_(files); }));
}

}  // namespace qs
