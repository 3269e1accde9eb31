// The writing folder: finding it at start, asking the user for one when there is none or it
// is lost, remembering it (a Bookmark in the settings), refusing folders that can't serve, and
// the Move Writing Folder command around the library's move. The dialogs are behind
// FolderDialogs, which the desktop answers with GTK (writing_folder_gtk.h).
//
// Threads: main thread only.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "library/library.h"

namespace qs {
class Prefs;
}  // namespace qs

namespace qs::windows {
class RegisteredWindow;
}  // namespace qs::windows

namespace qs::app {

using windows::RegisteredWindow;

// The words of the dialogs. Where the Mac says Finder, this computer says Files; where it names
// its own sync service, this one names none, as any sync tool will do.
namespace folder_words {
inline constexpr std::string_view kNeedsFolder = "Quillstone needs a folder for your writing";
inline constexpr std::string_view kNeedsFolderDetail =
    "Each document is kept there as a file you can see in Files. Documents \u2192 Quillstone is a "
    "good place; a folder you keep in sync with your other computers works too.";
inline constexpr std::string_view kChooseFolder = "Choose Folder\u2026";
inline constexpr std::string_view kQuit = "Quit";
inline constexpr std::string_view kAskTitle = "Where should your writing live?";
inline constexpr std::string_view kAskMessage =
    "Where should your writing live? Choose Use This Folder to keep it in Documents \u2192 "
    "Quillstone, or choose another folder. A folder you keep in sync with your other computers "
    "works too.";
inline constexpr std::string_view kUseThisFolder = "Use This Folder";
inline constexpr std::string_view kLostName = "your writing folder";
inline constexpr std::string_view kChooseAnother = "Choose another folder";
inline constexpr std::string_view kAlreadyThere = "That's already your writing folder.";
inline constexpr std::string_view kInside =
    "That folder is inside your writing folder. Choose one outside it.";
inline constexpr std::string_view kContains =
    "Your writing folder is inside that one. Choose a folder of its own, or make one with New "
    "Folder.";
inline constexpr std::string_view kSupport =
    "That folder is where Quillstone keeps its own things. Choose another.";
inline constexpr std::string_view kNotWritable =
    "Quillstone can't write in that folder. Choose another.";
inline constexpr std::string_view kMoveTitle = "Move Writing Folder";
inline constexpr std::string_view kMoveMessage =
    "Choose a new folder for your writing. Your documents, and the Archive, move into it. A "
    "folder you keep in sync with your other computers works too.";
inline constexpr std::string_view kMoveHere = "Move Here";
inline constexpr std::string_view kOK = "OK";
inline constexpr std::string_view kShowInFiles = "Show in Files";
inline constexpr std::string_view kMoveStopped = "Moving your writing didn't finish";
}  // namespace folder_words

// "Quillstone can't find your writing folder, “N”. Choose where it is now, or a new folder."
std::string lostMessage(std::string_view name);
// "1 document moved", else "N documents moved".
std::string movedMessage(int moved);
// "Your writing is now in <spoken>." and, when some stayed, why.
std::string movedDetail(std::string_view spoken_root, int stayed);
// A move that stopped partway: why, how many documents moved and stayed, and where the writing
// is now.
std::string moveStoppedDetail(std::string_view why, int moved, int stayed,
                              std::string_view spoken_root);

// A one-folder chooser: folders only, new folders allowed, one item.
struct FolderPanel {
  std::string title;
  std::string message;
  std::string prompt;  // the button that accepts
  std::filesystem::path start;
};

struct Alert {
  std::string message;
  std::string detail;
  std::vector<std::string> buttons;  // the first is the default
  std::size_t dismissed = 0;         // the button that closing the alert stands for
};

// The dialogs, as the desktop shows them: over the document window they are attached to while
// it is open (a sheet), else on their own (modal). Each answer comes once, later, on the main
// thread.
class FolderDialogs {
 public:
  virtual ~FolderDialogs() = default;
  // The document window the dialogs that follow attach to; none: they stand on their own.
  virtual void attachTo(std::weak_ptr<RegisteredWindow> window) = 0;
  // The chosen folder, or none for Cancel.
  virtual void chooseFolder(const FolderPanel& panel,
                            std::function<void(std::optional<std::filesystem::path>)> done) = 0;
  // The index of the button pressed.
  virtual void alert(const Alert& alert, std::function<void(std::size_t)> done) = 0;
};

// Whether `path` lies in a Trash: the desktop's ($XDG_DATA_HOME/Trash), a volume's
// (".Trash-UID" or ".Trash/UID" at its top), or any folder ".Trash".
bool isInTrash(const std::filesystem::path& path, const std::filesystem::path& data_home);

class WritingFolder {
 public:
  // What the environment says, read once a run.
  struct Settings {
    std::optional<std::filesystem::path> root;  // QUILLSTONE_ROOT: no asking, nothing stored
    std::string key = "writingFolder";          // QUILLSTONE_FOLDER_KEY
    std::filesystem::path documents;            // QUILLSTONE_SUGGEST, else the documents folder
    std::filesystem::path support;              // the library's support folder
    std::filesystem::path data_home;            // $XDG_DATA_HOME, where the desktop's Trash is
    static Settings fromEnvironment();
  };

  WritingFolder(Prefs& prefs, Settings settings);

  const Settings& settings() const { return settings_; }

  // The writing folder for this run: QUILLSTONE_ROOT, else the stored folder, else the user's
  // choice. None when the user chose Quit. `done` may run before this returns (nothing to ask).
  void prepare(FolderDialogs& dialogs,
               std::function<void(std::optional<std::filesystem::path>)> done);
  // The stored folder, when it can still serve, without asking (for tools that can't ask).
  std::optional<std::filesystem::path> stored();
  // The folder that bookmark bytes name, when it exists, is a folder, can be written and isn't
  // in a Trash. A stale bookmark is stored afresh.
  std::optional<std::filesystem::path> resolve(std::string_view bookmark);
  // Asks until the user chooses a folder that can serve (which is then used) or cancels.
  // `lost` names a folder that couldn't be found.
  void ask(FolderDialogs& dialogs, std::optional<std::string> lost,
           std::function<void(std::optional<std::filesystem::path>)> done);
  // Takes the folder into use: its bookmark is stored (under QUILLSTONE_ROOT nothing is).
  void use(const std::filesystem::path& folder);
  // Why `folder` can't be the writing folder, or none. `current` is the writing folder now.
  std::optional<std::string> problem(const std::filesystem::path& folder,
                                     const std::optional<std::filesystem::path>& current) const;

 private:
  std::optional<std::string> storedBookmark() const;
  // Asks until a folder is chosen; cancelling offers Quit.
  void askOrQuit(FolderDialogs& dialogs, std::optional<std::string> lost,
                 std::function<void(std::optional<std::filesystem::path>)> done);

  Prefs& prefs_;
  Settings settings_;
};

// What the Move Writing Folder command needs of the program.
class FolderMoveHost {
 public:
  virtual ~FolderMoveHost() = default;
  virtual std::filesystem::path root() = 0;
  // The current document window (none when there is none): the command's dialogs, its progress
  // and its result attach to it, whichever window is active.
  virtual std::shared_ptr<RegisteredWindow> currentDocumentWindow() = 0;
  // Lets every window's page settle (each at most 3.0 s); `done` once all have.
  virtual void settleWindows(std::function<void()> done) = 0;
  // Moves the library into `to` away from the main thread, showing progress; `done` on the
  // main thread with the counts, or the failure (Library::moveAll).
  virtual void moveLibrary(const std::filesystem::path& to,
                           std::function<void(library::Library::MoveResult)> done) = 0;
  // After the move: the search index, the folder watch and every page follow the library.
  virtual void moved(const std::filesystem::path& to) = 0;
  virtual std::string spokenName(const std::filesystem::path& folder) = 0;
  virtual void showInFiles(const std::filesystem::path& folder) = 0;
};

// The Move Writing Folder command: the panel, the checks, the settling, the move and the
// result. One at a time: asking again while a move is under way does nothing.
class FolderMove {
 public:
  FolderMove(WritingFolder& folder, FolderDialogs& dialogs, FolderMoveHost& host)
      : folder_(folder), dialogs_(dialogs), host_(host) {}

  void run();
  // From the panel to the result, inclusive.
  bool running() const { return running_; }
  // From the settling of the windows until the program has followed the moved library: the
  // part that must not be cut short.
  bool moving() const { return moving_; }
  // Runs `task` once nothing is moving (at once when nothing is).
  void whenSettled(std::function<void()> task);

 private:
  void chosen(const std::filesystem::path& to);

  WritingFolder& folder_;
  FolderDialogs& dialogs_;
  FolderMoveHost& host_;
  bool running_ = false;
  bool moving_ = false;
  std::vector<std::function<void()>> waiting_;
};

}  // namespace qs::app
