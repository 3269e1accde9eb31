// quillstone: the desktop program.
#include "app/app_delegate_gtk.h"

int main(int argc, char** argv) {
  qs::app::AppDelegate app;
  return app.run(argc, argv);
}
