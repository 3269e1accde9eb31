#include "app/writing_folder.h"

#include <glib.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "core/digest.h"
#include "core/file_io.h"
#include "library/package.h"
#include "platform/bookmark.h"
#include "platform/prefs.h"

namespace qs::app {

namespace fs = std::filesystem;
using namespace folder_words;

namespace {

// An absolute path with "." and ".." worked out and no separator at the end.
std::string standardized(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  std::string spelled = absolute.lexically_normal().string();
  while (spelled.size() > 1 && spelled.back() == '/') spelled.pop_back();
  return spelled;
}

// Whether `path` is `folder` or lies below it.
bool within(const std::string& path, const std::string& folder) {
  if (path == folder) return true;
  const std::string prefix = folder == "/" ? folder : folder + "/";
  return path.starts_with(prefix);
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

bool writable(const fs::path& folder) {
  return ::access(folder.c_str(), W_OK) == 0;
}

}  // namespace

std::string lostMessage(std::string_view name) {
  return "Quillstone can't find your writing folder, \u201c" + std::string(name) +
         "\u201d. Choose where it is now, or a new folder.";
}

std::string movedMessage(int moved) {
  return moved == 1 ? "1 document moved" : std::to_string(moved) + " documents moved";
}

std::string movedDetail(std::string_view spoken_root, int stayed) {
  // Appended piece by piece: GCC 12 at -O3 misreads `"…" + std::string` as overlapping copies.
  std::string detail = "Your writing is now in ";
  detail.append(spoken_root).append(".");
  if (stayed >= 1) {
    detail.append(" ").append(std::to_string(stayed));
    detail.append(" stayed in the old folder, because the new one already has ");
    detail.append(stayed == 1 ? "it" : "them").append(".");
  }
  return detail;
}

std::string moveStoppedDetail(std::string_view why, int moved, int stayed,
                              std::string_view spoken_root) {
  std::string detail = "The move stopped: ";
  detail.append(why).append(". ").append(movedMessage(moved));
  if (stayed >= 1) {
    detail.append(", ").append(std::to_string(stayed)).append(" stayed in the old folder");
  }
  detail.append(". Your writing is now in ").append(spoken_root).append(".");
  return detail;
}

bool isInTrash(const fs::path& path, const fs::path& data_home) {
  const std::string spelled = standardized(path);
  if (!data_home.empty() && within(spelled, standardized(data_home / "Trash"))) return true;
  for (const auto& part : fs::path(spelled)) {
    const std::string name = part.string();
    if (name == ".Trash") return true;  // ".Trash/UID" at a volume's top, and the Mac's own
    if (name.starts_with(".Trash-") && name.size() > 7 &&
        name.find_first_not_of("0123456789", 7) == std::string::npos) {
      return true;
    }
  }
  return false;
}

WritingFolder::Settings WritingFolder::Settings::fromEnvironment() {
  Settings settings;
  if (auto root = environment("QUILLSTONE_ROOT")) settings.root = fs::path(*root);
  if (auto key = environment("QUILLSTONE_FOLDER_KEY")) settings.key = *key;
  auto suggest = environment("QUILLSTONE_SUGGEST");
  settings.documents = suggest ? fs::path(*suggest) : library::Library::defaultRoot().parent_path();
  settings.support = library::supportURL();
  settings.data_home = g_get_user_data_dir();
  return settings;
}

WritingFolder::WritingFolder(Prefs& prefs, Settings settings)
    : prefs_(prefs), settings_(std::move(settings)) {}

void WritingFolder::prepare(FolderDialogs& dialogs,
                            std::function<void(std::optional<fs::path>)> done) {
  if (settings_.root) {
    done(*settings_.root);
    return;
  }
  std::optional<std::string> lost;
  if (prefs_.get(settings_.key)) {
    auto bookmark = storedBookmark();
    if (bookmark) {
      if (auto folder = resolve(*bookmark)) {
        done(*folder);
        return;
      }
    }
    lost = (bookmark ? Bookmark::storedName(*bookmark) : std::nullopt)
               .value_or(std::string(kLostName));
  }
  askOrQuit(dialogs, std::move(lost), std::move(done));
}

void WritingFolder::askOrQuit(FolderDialogs& dialogs, std::optional<std::string> lost,
                              std::function<void(std::optional<fs::path>)> done) {
  ask(dialogs, lost, [this, &dialogs, lost, done](std::optional<fs::path> folder) {
    if (folder) {
      done(folder);
      return;
    }
    Alert alert{std::string(kNeedsFolder),
                std::string(kNeedsFolderDetail),
                {std::string(kChooseFolder), std::string(kQuit)},
                1};
    dialogs.alert(alert, [this, &dialogs, lost, done](std::size_t button) {
      if (button == 0) {
        askOrQuit(dialogs, lost, done);
      } else {
        done(std::nullopt);
      }
    });
  });
}

std::optional<std::string> WritingFolder::storedBookmark() const {
  auto value = prefs_.get(settings_.key);
  if (!value || !value->is_string()) return std::nullopt;
  return digest::base64Decode(std::string_view(value->get_string()));
}

std::optional<fs::path> WritingFolder::stored() {
  auto bookmark = storedBookmark();
  return bookmark ? resolve(*bookmark) : std::nullopt;
}

std::optional<fs::path> WritingFolder::resolve(std::string_view bookmark) {
  auto found = Bookmark::resolve(bookmark);
  if (!found) return std::nullopt;
  std::error_code ec;
  // A file where the folder was, a folder that can't be written or one in a Trash is lost.
  if (!fs::is_directory(found->folder, ec) || !writable(found->folder)) return std::nullopt;
  const fs::path real = fs::weakly_canonical(found->folder, ec);
  if (isInTrash(found->folder, settings_.data_home) ||
      (!ec && isInTrash(real, settings_.data_home))) {
    return std::nullopt;
  }
  if (found->stale) use(found->folder);
  return found->folder;
}

void WritingFolder::ask(FolderDialogs& dialogs, std::optional<std::string> lost,
                        std::function<void(std::optional<fs::path>)> done) {
  FolderPanel panel{std::string(kAskTitle), lost ? lostMessage(*lost) : std::string(kAskMessage),
                    std::string(kUseThisFolder), settings_.documents};
  dialogs.chooseFolder(panel, [this, &dialogs, lost, done](std::optional<fs::path> chosen) {
    if (!chosen) {
      done(std::nullopt);
      return;
    }
    fs::path choice = *chosen;
    if (standardized(choice) == standardized(settings_.documents)) {
      // The suggested place as it stands: the folder of its own goes inside it. A failure
      // shows in the checks below.
      choice = settings_.documents / "Quillstone";
      (void)file_io::createFolders(choice);
    }
    if (auto why = problem(choice, std::nullopt)) {
      dialogs.alert({std::string(kChooseAnother), *why, {std::string(kOK)}, 0},
                    [this, &dialogs, lost, done](std::size_t) { ask(dialogs, lost, done); });
      return;
    }
    use(choice);
    done(choice);
  });
}

void WritingFolder::use(const fs::path& folder) {
  if (settings_.root) return;  // a folder given by QUILLSTONE_ROOT is never remembered
  auto bookmark = Bookmark::make(folder);
  if (!bookmark) return;
  (void)prefs_.set(settings_.key, json::value(digest::base64Encode(*bookmark)));
}

std::optional<std::string> WritingFolder::problem(const fs::path& folder,
                                                  const std::optional<fs::path>& current) const {
  const std::string p = standardized(folder);
  if (current) {
    const std::string c = standardized(*current);
    if (p == c) return std::string(kAlreadyThere);
    if (within(p, c)) return std::string(kInside);
    if (within(c, p)) return std::string(kContains);
  }
  // The support folder and what is inside it; a sibling whose name merely begins the same way
  // is another folder.
  if (within(p, standardized(settings_.support))) return std::string(kSupport);
  if (!writable(p)) return std::string(kNotWritable);
  return std::nullopt;
}

void FolderMove::run() {
  if (running_) return;
  running_ = true;
  dialogs_.attachTo(host_.currentDocumentWindow());
  const fs::path root = host_.root();
  FolderPanel panel{std::string(kMoveTitle), std::string(kMoveMessage), std::string(kMoveHere),
                    root};
  dialogs_.chooseFolder(panel, [this, root](std::optional<fs::path> to) {
    if (!to) {
      running_ = false;
      return;
    }
    if (auto why = folder_.problem(*to, root)) {
      dialogs_.alert({std::string(kChooseAnother), *why, {std::string(kOK)}, 0},
                     [this](std::size_t) { running_ = false; });
      return;
    }
    chosen(*to);
  });
}

void FolderMove::chosen(const fs::path& to) {
  moving_ = true;
  host_.settleWindows([this, to] {
    host_.moveLibrary(to, [this](library::Library::MoveResult result) {
      if (!result.refused.empty()) {
        // The library found the place unfit after all (it changed since it was chosen).
        moving_ = false;
        dialogs_.alert({std::string(kChooseAnother), result.refused, {std::string(kOK)}, 0},
                       [this](std::size_t) { running_ = false; });
        for (auto& task : std::exchange(waiting_, {})) task();
        return;
      }
      // Wherever the library now is, is what is remembered and shown: after a move that
      // stopped partway, the folder its journal settled on.
      const fs::path now = host_.root();
      folder_.use(now);
      host_.moved(now);
      moving_ = false;
      const std::string spoken = host_.spokenName(now);
      Alert alert{movedMessage(result.moved),
                  movedDetail(spoken, result.stayed),
                  {std::string(kOK), std::string(kShowInFiles)},
                  0};
      if (!result.failed.empty()) {
        alert.message = kMoveStopped;
        alert.detail = moveStoppedDetail(result.failed, result.moved, result.stayed, spoken);
      }
      dialogs_.alert(alert, [this, now](std::size_t button) {
        running_ = false;
        if (button == 1) host_.showInFiles(now);
      });
      for (auto& task : std::exchange(waiting_, {})) task();
    });
  });
}

void FolderMove::whenSettled(std::function<void()> task) {
  if (moving_) {
    waiting_.push_back(std::move(task));
  } else {
    task();
  }
}

}  // namespace qs::app
