// The decisions behind the application actions of the menu bar that need no page: what Show in
// Files selects, where the product site's pages are, what Show Restore Points says when there
// are none. Pure; callable from any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qs::menus {

// Show in Files: the current window's document package, when the window shows a document
// that isn't reserved and the library has a file for it; otherwise the writing folder.
std::filesystem::path revealTarget(
    const std::optional<std::string>& doc_id,
    const std::function<std::optional<std::filesystem::path>(const std::string&)>& url_for,
    const std::filesystem::path& root);

// The product site's page at `path` ("/", "/privacy/").
std::string siteURL(std::string_view path);
// Check for Updates…: there is no updater here; the site's download page says what is new.
inline constexpr std::string_view kDownloadPath = "/download/";

// Show Restore Points: the folder, and what is said when it doesn't exist yet.
std::filesystem::path restorePointsFolder(const std::filesystem::path& support);
inline constexpr const char* kNoRestorePoints = "No restore points yet";
inline constexpr const char* kNoRestorePointsDetail =
    "Restoring a backup (Settings \u2192 Your data) keeps everything as it was first, here.";

}  // namespace qs::menus
