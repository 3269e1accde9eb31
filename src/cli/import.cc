// quillstone-cli import-backup: a whole-workspace backup brought into the library, as the
// desktop's Import Backup does, with a progress bar on a terminal.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

#include "cli/commands.h"
#include "core/json.h"
#include "import/backup_import.h"

namespace qs::cli {

namespace {

// A bar on standard error, redrawn at most ten times a second and when the work ends.
class ProgressBar {
 public:
  void show(std::size_t done, std::size_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (done != total && shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    shown_ = true;
    constexpr int kWidth = 30;
    const int filled = total ? static_cast<int>(done * kWidth / total) : kWidth;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\rImporting [%s] %zu of %zu", bar.c_str(), done, total);
    std::fflush(stderr);
  }
  ~ProgressBar() {
    if (shown_) std::fputs("\n", stderr);
  }

 private:
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace

int importBackup(const Places& places, const std::vector<std::string_view>& args) {
  if (args.size() != 1 || args[0].empty()) return usage("import-backup", "needs the backup file");
  Session session(places);
  BackupImport::Outcome outcome;
  {
    ProgressBar bar;
    BackupImport::Progress progress;
    if (isatty(STDERR_FILENO)) {
      progress = [&bar](std::size_t done, std::size_t total) {
        bar.show(done, total);
        return true;
      };
    }
    outcome = BackupImport::run(std::string(args[0]), *session.library, progress);
  }
  if (auto* failure = std::get_if<BackupImport::Failure>(&outcome)) return fail(failure->message);
  const auto& result = std::get<BackupImport::Result>(outcome);
  json::array failed;
  for (const auto& id : result.failed) failed.push_back(json::value(id));
  std::cout << json::compact(json::object{{"count", result.count},
                                          {"skipped", result.skipped},
                                          {"failed", std::move(failed)}})
                   .value_or("null")
            << "\n";
  return kOK;
}

}  // namespace qs::cli
