// The HTTP client the sign-in talks to its service through. Main thread only: requests are sent
// from the main thread and answered there.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qs::auth {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;  // "GET" or "POST"
  std::string url;
  Headers headers;  // sent as they stand; nothing else is added but what HTTP itself needs
  std::optional<std::string> body;
  std::chrono::milliseconds timeout{60'000};  // for the whole exchange, body included
};

struct HttpResponse {
  int status = 0;
  Headers headers;  // every field in the order received, repeated ones (Set-Cookie) apart
  std::string body;
};

class HttpClient {
 public:
  using Done = std::function<void(std::optional<HttpResponse>)>;
  // A response body longer than this is refused: the service's answers are small.
  static constexpr std::size_t kBodyLimit = 1 << 20;

  virtual ~HttpClient() = default;
  // Calls `done` once, later, on the main thread: with the response, or none when there was no
  // usable one (no connection, time out, a body over the limit). Redirects are not followed;
  // their response is the answer. Cookies are neither stored nor sent by the client itself.
  // Requests still under way when the client is destroyed are dropped, `done` uncalled.
  virtual void send(HttpRequest request, Done done) = 0;
};

// libsoup 3 on the main thread's GLib context.
std::unique_ptr<HttpClient> makeSoupHttpClient();

}  // namespace qs::auth
