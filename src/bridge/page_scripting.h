// Script calls into one web view's page: the platform service beneath PageCalls.
//
// Threads: main thread only. Completions arrive on the main thread, never from inside the call
// that started them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/json.h"

typedef struct _WebKitWebView WebKitWebView;

namespace qs::bridge {

class PageScripting {
 public:
  // `result` is what the script returned, as JSON (none for undefined or a value JSON can't
  // hold); `error` is set when the call failed (a thrown exception, a page that went away).
  using Done =
      std::function<void(std::optional<json::value> result, std::optional<std::string> error)>;

  virtual ~PageScripting() = default;

  // Runs `body` as the body of an async function in the main frame's page world, with each
  // member of `arguments` as a local of that name; a returned promise is awaited. `done` is
  // called at most once: never after this object is destroyed. Arguments are strings in
  // practice; booleans, numbers and objects pass too, nulls and arrays are left out.
  virtual void callAsync(std::string body, json::object arguments, Done done) = 0;

  // Runs `script` in the main frame's page world; its result and any error are dropped.
  virtual void evaluate(std::string script) = 0;
};

// The WebKitGTK implementation (desktop build only). Holds `web_view` weakly: the window owns
// it, and calls made after it is gone fail with an error.
std::unique_ptr<PageScripting> makeWebViewScripting(WebKitWebView* web_view);

}  // namespace qs::bridge
