// Whole-workspace backups downloaded from the web version: recognising one (`is`) and bringing
// one into the library (`run`). Each document goes through the library's single-record write;
// the workspace, the pretext and the image captures are merged into the support folder's files.
//
// Memory: `run` holds the file's text once. Each document is parsed from it only when it is
// checked and again when it is handed to the library, one at a time, so the whole tree never
// exists; a backup just under 400 MB imports in about the file's size plus its largest document.
//
// Threads: any thread but the library's own. `run` takes as long as the library takes to write
// every document, so the desktop runs it on a worker; `progress` is called on that thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qs::library {
class Library;
}

namespace qs {

class BackupImport {
 public:
  // A file this large or larger is not taken for a backup without being read.
  static constexpr std::uintmax_t kLargestBackup = 400'000'000;
  // An image capture larger than this is not written: the page keeps small images as captures,
  // and nothing it made comes near this.
  static constexpr std::size_t kLargestCapture = 16 * 1024 * 1024;

  static constexpr std::string_view kNotBackup = "That file isn't a Quillstone backup.";
  static constexpr std::string_view kProjectExport =
      "That's a project export, not a whole-workspace backup.";
  static constexpr std::string_view kNewerVersion =
      "That backup is from a newer version of Quillstone.";
  static constexpr std::string_view kNoDocuments = "That backup has no documents in it.";

  struct Result {
    int count = 0;    // documents written
    int skipped = 0;  // documents left alone: the library's copy is as new or newer
    // Documents that count but that the library couldn't write (or whose package there could
    // not be read, so that it was left as it is), in backup order.
    std::vector<std::string> failed;
    // The same documents as a person knows them: the title, else the first words, else
    // "Untitled"; the id for one that couldn't even be read.
    std::vector<std::string> failed_names;
  };
  struct Failure {
    std::string message;  // one of the four sentences above
  };
  using Outcome = std::variant<Result, Failure>;
  // Documents handed to the library (written, skipped or failed) of those that count. Answering
  // false stops the import after that document (the program is quitting): what was written
  // stays, and the support folder's files are merged for it.
  using Progress = std::function<bool(std::size_t done, std::size_t total)>;

  // The words of the import's alerts. On Linux the offer says "this computer" and the
  // reveal button names the file manager.
  struct Alert {
    std::string message;
    std::string informative;
  };
  static constexpr std::string_view kShowInFiles = "Show in Files";
  static constexpr std::string_view kChooseBackup = "Choose Backup\u2026";
  static constexpr std::string_view kNotNow = "Not Now";
  static constexpr std::string_view kCancel = "Cancel";
  static constexpr std::string_view kChooserMessage =
      "Choose a Quillstone backup (Quillstone backup YYYY-MM-DD.json)";
  // "3 documents brought in"; "They're in Documents → Quillstone." with the skipped and the
  // failed documents after it.
  static Alert reportAlert(const Result& result, std::string_view spoken_folder);
  static Alert offerAlert(bool first_run, std::string_view spoken_folder);

  // Whether the file is a whole-workspace backup: an object whose top-level `format` is
  // "quillstone/backup". Reads only until that member is known.
  static bool is(const std::filesystem::path& file);

  // Imports the backup into `library`. A failure leaves every file as it was.
  static Outcome run(const std::filesystem::path& file, library::Library& library,
                     const Progress& progress = {});
};

}  // namespace qs
