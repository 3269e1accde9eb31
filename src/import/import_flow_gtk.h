// The desktop's import flow: the backup import on a worker with its progress window and its
// alerts, the backup offer (on a first run and from the menu), the import panel, and the batch
// of files on their way to a window's page. Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "core/event_loop.h"
#include "import/backup_import.h"
#include "import/file_import.h"

namespace qs::library {
class Library;
}  // namespace qs::library

namespace qs {

// An open panel over `parent` (or on its own), not shown yet, offering the files `filter` lets
// through. The panel takes `filter`.
GtkFileChooserNative* newOpenPanel(GtkWindow* parent, const char* title, const char* accept,
                                   GtkFileFilter* filter, bool several,
                                   const std::optional<std::filesystem::path>& folder);

// What the import flow asks of the application's document windows. The application outlives
// the flow.
class ImportWindowsGtk {
 public:
  virtual ~ImportWindowsGtk() = default;
  // The window the flow's alerts, panels and progress go over: the current document window's,
  // or none.
  virtual GtkWindow* currentGtkWindow() const = 0;
  // A backup came in: every window's page picks up the new documents.
  virtual void reloadAfterImport() = 0;
  // Files for the current document window's page, or a new window's.
  virtual void importIntoWindow(std::vector<std::filesystem::path> files) = 0;
};

class ImportFlowGtk {
 public:
  // Imports into `library`; `windows`, `main_loop` and `library` outlive the flow.
  ImportFlowGtk(ImportWindowsGtk& windows, EventLoop& main_loop, library::Library& library);
  // Stops a running import after its current document and waits for it: the library it writes
  // to goes after this.
  ~ImportFlowGtk();
  ImportFlowGtk(const ImportFlowGtk&) = delete;
  ImportFlowGtk& operator=(const ImportFlowGtk&) = delete;

  // Runs the backup import and reports it. Backups asked for while one runs wait their turn.
  void importBackup(std::filesystem::path file);
  // The offer alert, then the chooser of a backup (JSON files, from the Downloads folder).
  void offerImport(bool first_run);
  // The import panel: several files; backups among them go to importBackup, the rest to
  // importFiles.
  void importPanel();
  // Adds files to the batch that goes to the key window (or a new one) 0.3 s after the last.
  void importFiles(const std::vector<std::filesystem::path>& files);

 private:
  void startNext();
  void showProgress(std::size_t done, std::size_t total);
  void finished(BackupImport::Outcome outcome);
  void flushBatch(std::vector<std::filesystem::path> files);

  ImportWindowsGtk& windows_;
  EventLoop& main_loop_;
  library::Library& library_;
  ImportBatch batch_;
  std::deque<std::filesystem::path> waiting_;
  std::thread worker_;
  std::atomic<bool> stop_{false};
  bool running_ = false;
  GtkWindow* progress_window_ = nullptr;
  GtkProgressBar* progress_bar_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qs
