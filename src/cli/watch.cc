// quillstone-cli watch: reads the workspace as the page's "open" does, so that only later changes
// count, then prints every batch of records changed outside the app as one line of JSON until
// SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <thread>

#include "cli/commands.h"
#include "core/event_loop.h"
#include "library/folder_watch.h"
#include "library/inotify_watcher.h"

namespace qs::cli {

int watch(const Places& places, const std::vector<std::string_view>& args) {
  if (!args.empty()) return usage("watch", "takes no arguments");
  // The signals are taken by one thread of ours; every thread started from here inherits the
  // mask, so none of them is interrupted instead.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // Everything is read once, as for "open", so that the first check compares with it.
  Session session(places, library::Library::Start::kLater);
  {
    std::string ignored;
    session.library->openWorkspaceText(ignored);
  }

  BlockingEventLoop main;
  bool stopping = false;
  std::thread waiter([&] {
    int signal_number = 0;
    sigwait(&signals, &signal_number);
    main.post([&] { stopping = true; });
  });

  ThreadSerialQueue work("quillstone.folderwatch");
  library::FolderWatch folder_watch(
      main, work, [&] { return session.library->externalChanges(); },
      [](const json::array& records) {
        std::cout << json::compact(records).value_or("[]") << std::endl;
      },
      [](std::vector<std::string>) {}, [&] { return session.library->recheckIn(); });
  folder_watch.start(session.library->root(), std::make_unique<library::InotifyWatcher>(main));
  std::cerr << "quillstone-cli: watching " << session.library->root().string() << std::endl;
  main.runUntil([&] { return stopping; });
  folder_watch.stop();
  waiter.join();
  return kOK;
}

}  // namespace qs::cli
