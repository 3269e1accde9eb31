#include "app/window_registry.h"

#include <algorithm>
#include <cctype>

#include "platform/prefs.h"

namespace qs::app {

namespace {
constexpr std::string_view kOpenWindowsKey = "openWindows";

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
}  // namespace

OpenKind openKind(const std::filesystem::path& file) {
  const std::string extension = file.extension().string();
  if (extension == ".quillstone") return OpenKind::kPackage;  // compared exactly
  const std::string ext = lower(extension.empty() ? "" : extension.substr(1));
  if (ext == "json") return OpenKind::kMaybeBackup;
  for (const char* importable : {"md", "markdown", "mdown", "mkd", "mkdn", "txt", "text", "docx"}) {
    if (ext == importable) return OpenKind::kImportable;
  }
  return OpenKind::kIgnored;
}

void WindowRegistry::add(std::shared_ptr<RegisteredWindow> window) {
  windows_.push_back(std::move(window));
}

void WindowRegistry::closed(const RegisteredWindow* window) {
  std::erase_if(windows_, [window](const auto& w) { return w.get() == window; });
  if (!quitting_) saveOpenWindows();
}

std::shared_ptr<RegisteredWindow> WindowRegistry::showing(std::string_view doc_id) const {
  for (const auto& w : windows_) {
    if (w->docID() == doc_id) return w;
  }
  return nullptr;
}

std::optional<std::vector<SavedWindow>> WindowRegistry::savedWindows(
    const std::function<bool(const std::string&)>& known) const {
  if (!prefs_) return std::nullopt;
  auto list = prefs_->get(kOpenWindowsKey);
  if (!list || !list->is_array() || list->get_array().empty()) return std::nullopt;
  for (const auto& entry : list->get_array()) {
    if (!entry.is_object()) return std::nullopt;
  }
  std::vector<SavedWindow> out;
  for (const auto& entry : list->get_array()) {
    const auto& o = entry.get_object();
    SavedWindow saved;
    if (auto doc = json::findString(o, "doc"); doc && !doc->empty()) {
      const std::string id(*doc);
      if (id.starts_with("_") || known(id)) saved.docID = id;
    }
    if (auto frame = json::findString(o, "frame")) saved.size = parseFrame(*frame);
    out.push_back(std::move(saved));
  }
  return out;
}

void WindowRegistry::saveOpenWindows() {
  if (!prefs_) return;
  json::array list;
  for (const auto& w : windows_) {
    if (!w->hasWindow()) continue;
    list.push_back(json::object{{"doc", w->docID().value_or("")}, {"frame", w->frameText()}});
  }
  (void)prefs_->set(kOpenWindowsKey, std::move(list));
}

void WindowRegistry::wrote(const json::array& records, const RegisteredWindow* from) {
  for (const auto& w : windows_) {
    if (w.get() != from) w->enqueueExternal(records);
  }
}

void WindowRegistry::terminate(std::function<void()> done) {
  if (windows_.empty() || quitting_) {
    done();
    return;
  }
  quitting_ = true;
  saveOpenWindows();
  // One count for each window still settling, and one held until every request is made.
  auto remaining = std::make_shared<std::size_t>(1);
  auto finished = std::make_shared<std::function<void()>>(std::move(done));
  auto leave = [remaining, finished] {
    if (--*remaining == 0) (*finished)();
  };
  const auto windows = windows_;  // settling may close windows
  for (const auto& w : windows) {
    if (!w->loaded()) continue;
    ++*remaining;
    w->settle(leave);
  }
  leave();
}

}  // namespace qs::app
