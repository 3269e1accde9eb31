// Moving the writing folder. Main thread only.
#pragma once

#include <gtk/gtk.h>

namespace qs::app {

class AppDelegate;

// Asks for a new place for the writing folder and moves the library there, with progress shown
// over `parent` (may be null).
void moveWritingFolder(AppDelegate& app, GtkWindow* parent);

}  // namespace qs::app
