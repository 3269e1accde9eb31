// The browser half of a sign-in over one GTK window. Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <memory>

#include "auth/browser_sign_in.h"

namespace qs::auth {

// Opens the service's page with the desktop's default browser and shows, over `parent`, that
// Quillstone waits for it. Holds the window weakly: closing it counts as Cancel.
std::unique_ptr<BrowserSignIn> makeBrowserSignIn(GtkWindow* parent);

}  // namespace qs::auth
