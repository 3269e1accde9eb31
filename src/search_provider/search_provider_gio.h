// The desktop's search provider (org.gnome.Shell.SearchProvider2) on the session bus: results
// come from the search index, read-only; a chosen result is opened by the desktop program, which
// the bus starts when it isn't running. The provider never shows a window. Main thread only.
#pragma once

#include <gio/gio.h>

#include <filesystem>
#include <string>
#include <vector>

#include "preview/search_index_reader.h"

namespace qs::search_provider {

class SearchProvider {
 public:
  // Quits `loop` once nothing has been asked for a while and no call to the program is still
  // on its way; the bus starts the provider again when it is next needed.
  SearchProvider(std::filesystem::path database, GMainLoop* loop);
  ~SearchProvider();
  SearchProvider(const SearchProvider&) = delete;
  SearchProvider& operator=(const SearchProvider&) = delete;

  // Exports the provider's object; false (with the reason on standard error) when it can't.
  bool exportOn(GDBusConnection* connection);

 private:
  void call(const char* method, GVariant* parameters, GDBusMethodInvocation* invocation);
  // Asks the desktop program, by its bus name, to run `method` of org.freedesktop.Application.
  void askProgram(const char* method, GVariant* parameters);
  void restartIdleTimer();

  SearchIndexReader reader_;
  GMainLoop* loop_;
  GDBusConnection* connection_ = nullptr;
  unsigned registration_ = 0;
  unsigned idle_timer_ = 0;
  int calls_to_program_ = 0;
  // The shell asks for metas right after a result set, without the terms: they are kept for
  // the snippets.
  std::vector<std::string> last_terms_;
};

}  // namespace qs::search_provider
