// A small stand-in for the hosted sign-in service, on loopback, for the tests that send real
// HTTP. It answers the five requests the program sends the way the service does, plus the
// browser's start page, which sends the browser straight on to the program's callback link.
// Runs on the thread's GLib main context; main thread only.
#pragma once

#include <libsoup/soup.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "auth/auth_rules.h"
#include "auth/http.h"
#include "core/json.h"

namespace qs::testing {

class FakeAuthService {
 public:
  struct Request {
    std::string method;
    std::string path;   // below the base: "sign-in/social", "get-session", … ("" when outside it)
    std::string query;  // as sent, still percent-encoded
    auth::Headers headers;
    std::optional<std::string> header(std::string_view name) const {
      return auth::headerValue(headers, name);
    }
  };
  struct Answer {
    int status = 200;
    auth::Headers headers;
    std::string body;
    bool hang = false;  // never answer
  };

  FakeAuthService();
  ~FakeAuthService();

  unsigned port() const { return port_; }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string base() const { return origin() + "/api/auth"; }

  // A token the service would hand out: header.payload.signature, payload {"sub", "exp"}.
  static std::string jwt(std::optional<double> exp);

  // Every request received, in order.
  std::vector<Request> requests;
  std::vector<Request> requestsTo(std::string_view path) const;

  // Asked first for every request; the answer it gives replaces the service's own.
  std::function<std::optional<Answer>(const Request&)> answer;
  // Gives `given` for requests to `path` alone.
  void answerAt(std::string path, Answer given) {
    answer = [path, given](const Request& r) {
      return r.path == path ? std::optional<Answer>(given) : std::nullopt;
    };
  }

  // The service's state and manner.
  std::string session_token = "sess-1";    // the live session; empty: none
  std::string verifier = "v-1";            // what the start page hands the browser
  std::optional<std::string> session_jwt;  // "set-auth-jwt" on the session answer
  std::optional<std::string> check_jwt;    // "set-auth-jwt" on a check
  std::string renewed_token;     // a check renews the session cookie to this; both stay good
  std::string token = jwt(2e9);  // what "token" answers
  // Prints a line for each request (the e2e runner reads them).
  bool print_requests = false;

 private:
  static void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                     gpointer self);
  Answer serve(const Request& request);

  SoupServer* server_;
  unsigned port_ = 0;
};

}  // namespace qs::testing
