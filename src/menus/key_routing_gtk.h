// Which of the menu bar and the page gets a key press in a document window first. Main thread
// only.
#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <functional>

#include "core/json.h"
#include "menus/key_routing.h"

namespace qs::menus {

// Installs, on `window`, a capture-phase key controller that asks menuHandles for every key
// press while the page has the focus: a key the menu bar may take goes on to its accelerators
// (and to the page when none matches); any other goes straight to the page. `state` gives the
// current document window's state, or null. The controller lives as long as the window; a
// second one on `page` notes each press that reaches it, so that the page keeps where the last
// key went.
void routeKeys(GtkWindow* window, WebKitWebView* page, std::function<const json::object*()> state);
// Where the last key press `page` had the focus for went (kNowhere before routeKeys or any press).
KeyWent lastKey(WebKitWebView* page);

}  // namespace qs::menus
