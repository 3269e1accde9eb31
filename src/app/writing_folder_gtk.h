// The writing folder's dialogs on the desktop, and the Move Writing Folder command. Main thread
// only.
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <memory>
#include <thread>

#include "app/writing_folder.h"

namespace qs::app {

class AppDelegate;

// The Move Writing Folder command (File menu): the panel over the current document window (or
// on its own), then the move with its progress and result.
void moveWritingFolder(AppDelegate& app);

// A folder chooser and alerts: over the document window attached to while it is open, else on
// their own. A dialog that goes away unanswered (its window closed) answers as cancelled.
class FolderDialogsGtk final : public FolderDialogs {
 public:
  void attachTo(std::weak_ptr<RegisteredWindow> window) override { attached_ = std::move(window); }
  GtkWindow* parent() const;  // none when unattached or closed

  void chooseFolder(const FolderPanel& panel,
                    std::function<void(std::optional<std::filesystem::path>)> done) override;
  void alert(const Alert& alert, std::function<void(std::size_t)> done) override;

 private:
  std::weak_ptr<RegisteredWindow> attached_;
};

// The command's state for the program's lifetime: one move at a time, and a quit waits for a
// move under way to finish.
class FolderMoveGtk final : public FolderMoveHost {
 public:
  explicit FolderMoveGtk(AppDelegate& app);
  ~FolderMoveGtk() override;

  void run();
  FolderMove& move() { return move_; }

  // FolderMoveHost
  std::filesystem::path root() override;
  std::shared_ptr<RegisteredWindow> currentDocumentWindow() override;
  void settleWindows(std::function<void()> done) override;
  void moveLibrary(const std::filesystem::path& to,
                   std::function<void(library::Library::MoveResult)> done) override;
  void moved(const std::filesystem::path& to) override;
  std::string spokenName(const std::filesystem::path& folder) override;
  void showInFiles(const std::filesystem::path& folder) override;

 private:
  AppDelegate& app_;
  FolderDialogsGtk dialogs_;
  FolderMove move_;
  std::thread worker_;
  GtkWindow* progress_ = nullptr;
  GtkProgressBar* bar_ = nullptr;
  guint pulse_ = 0;
  // Packages placed of how many, kept by the move's thread and shown by the timer.
  std::atomic<int> placed_{0};
  std::atomic<int> total_{0};
};

}  // namespace qs::app
