// quillstone: the desktop program.
#include "app/app_delegate_gtk.h"
#include "core/launch_trace.h"

int main(int argc, char** argv) {
  qs::launch_trace::mark("main");
  qs::app::AppDelegate app;
  return app.run(argc, argv);
}
