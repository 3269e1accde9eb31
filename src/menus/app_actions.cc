#include "menus/app_actions.h"

#include "core/identity.h"

namespace qs::menus {

std::filesystem::path revealTarget(
    const std::optional<std::string>& doc_id,
    const std::function<std::optional<std::filesystem::path>(const std::string&)>& url_for,
    const std::filesystem::path& root) {
  if (doc_id && !doc_id->empty() && !doc_id->starts_with("_")) {
    if (auto url = url_for(*doc_id)) return *url;
  }
  return root;
}

std::string siteURL(std::string_view path) {
  return std::string(identity::kWebSite) + std::string(path);
}

std::filesystem::path restorePointsFolder(const std::filesystem::path& support) {
  return support / "restore-points";
}

}  // namespace qs::menus
