#include <cstdio>

#include "app/writing_folder_gtk.h"

namespace qs::app {

void moveWritingFolder(AppDelegate&, GtkWindow*) {
  std::fprintf(stderr, "Quillstone: moving the writing folder is not built yet\n");
}

}  // namespace qs::app
