// Files brought in through the page: Markdown, text, Word and project files become documents
// by way of the page's own file input. The program gathers files that arrive close together
// into one batch, keeps a window's files until its page has loaded, reads them and hands them
// over with one script call. Backups among them go to the backup import instead.
//
// Threads: importEntries and splitChosen read files and may run anywhere; ImportBatch and
// PendingImports belong to the thread of their event loop (the main thread).
#pragma once

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "core/json.h"
#include "platform/content_type.h"

namespace qs {

// Compared in lower case.
inline constexpr std::array<std::string_view, 9> kImportableExtensions = {
    "md", "markdown", "mdown", "mkd", "mkdn", "txt", "text", "docx", "json"};

inline constexpr std::chrono::milliseconds kImportBatchDelay{300};
inline constexpr std::chrono::milliseconds kPendingImportsDelay{400};

inline constexpr std::string_view kImportPanelMessage =
    "Markdown, text, Word (.docx) or Quillstone project files. Each becomes a new document; "
    "Word comments become subtext.";
inline constexpr std::string_view kImportUnavailable =
    "Import isn't available in this build of the web app";

// The script that gives the files to the page's file input, run with the argument `filesJSON`.
extern const std::string_view kImportScript;

// The file's extension in lower case, without its dot.
std::string lowerExtension(const std::filesystem::path& file);
bool isImportable(const std::filesystem::path& file);

// The chosen files split: backups (".json" files that BackupImport::is takes) for the backup
// import, the others, in order, for the page.
struct ChosenFiles {
  std::vector<std::filesystem::path> backups;
  std::vector<std::filesystem::path> files;
};
ChosenFiles splitChosen(const std::vector<std::filesystem::path>& chosen);

// The entries handed to the page, one per readable file, in order: {name, type, data}, `type`
// the MIME type of the extension ("" when there is none), `data` the bytes in base64.
json::array importEntries(const std::vector<std::filesystem::path>& files,
                          const ContentTypeLookup& mime_type);

// Files arriving within 0.3 s of each other go out together: each addition restarts the
// timer, and when it fires the whole batch goes to `flush`.
class ImportBatch {
 public:
  using Flush = std::function<void(std::vector<std::filesystem::path>)>;
  ImportBatch(EventLoop& loop, Flush flush) : loop_(loop), flush_(std::move(flush)) {}
  ~ImportBatch();
  ImportBatch(const ImportBatch&) = delete;
  ImportBatch& operator=(const ImportBatch&) = delete;

  void add(const std::vector<std::filesystem::path>& files);

 private:
  EventLoop& loop_;
  Flush flush_;
  std::vector<std::filesystem::path> batch_;
  std::optional<EventLoop::TimerId> timer_;
};

// A window's files that came before its page loaded. They are handed on 0.4 s after the page
// reports that it loaded; a window that goes drops them.
class PendingImports {
 public:
  using Deliver = std::function<void(std::vector<std::filesystem::path>)>;
  PendingImports(EventLoop& loop, Deliver deliver) : loop_(loop), deliver_(std::move(deliver)) {}
  ~PendingImports();
  PendingImports(const PendingImports&) = delete;
  PendingImports& operator=(const PendingImports&) = delete;

  // Keeps the files until the page loads; answers whether it kept them (false: deliver now).
  bool keep(const std::vector<std::filesystem::path>& files, bool page_loaded);
  void pageLoaded();

 private:
  EventLoop& loop_;
  Deliver deliver_;
  std::vector<std::filesystem::path> pending_;
  std::vector<EventLoop::TimerId> timers_;
};

}  // namespace qs
