// The context menu of a document window's web view: WebKitGTK's menu, rebuilt around the items
// the page asked for (the decisions are in context_menu.h). Main thread only.
#pragma once

#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <string>

#include "windows/context_menu.h"

namespace qs::windows {

class ContextMenuGtk {
 public:
  // Takes over `view`'s context menu; `evaluate` runs a script in its page.
  ContextMenuGtk(WebKitWebView* view, EventLoop& main,
                 std::function<void(const std::string&)> evaluate);
  ~ContextMenuGtk();
  ContextMenuGtk(const ContextMenuGtk&) = delete;
  ContextMenuGtk& operator=(const ContextMenuGtk&) = delete;

  // The page's "contextMenu" message.
  void received(json::array items, ContextMenu::Clock::time_point at) {
    menu_.received(std::move(items), at);
  }

 private:
  void rebuild(WebKitContextMenu* menu);
  WebKitContextMenuItem* pageItem(const PageItem& item);
  void fill(WebKitContextMenu* menu, const std::vector<PageItem>& items);
  void showHints(GtkPopoverMenu* popover);

  WebKitWebView* view_;
  ContextMenu menu_;
  gulong opened_ = 0;
  gulong dismissed_ = 0;
  // Page items' shortcuts by their action's name, for the menu about to open.
  std::vector<std::pair<std::string, std::string>> hints_;
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

}  // namespace qs::windows
