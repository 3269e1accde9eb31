// Signing in to the web service's account, for the page's online features. HostAuth runs the
// browser sign-in against the hosted authentication service, keeps the session (its cookie and
// the plain user) in the desktop's secret store, hands out short-lived bearer tokens, cached in
// memory until a minute before they expire and renewed from the stored session, and signs out.
//
// One instance, owned by the application. Main thread only: every operation is asked and every
// callback is called there. The secret store's blocking calls run on a queue of their own. The
// destructor drops what is under way: its callbacks are not called.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "auth/auth_config.h"
#include "auth/browser_sign_in.h"
#include "auth/http.h"
#include "auth/secret_store.h"
#include "core/event_loop.h"
#include "core/json.h"

namespace qs::auth {

enum class AuthError { kCancelled, kFailed, kBusy };

// "cancelled", "failed", "busy": the codes the page gets.
std::string_view errorCode(AuthError error);

struct SignInOutcome {
  std::optional<json::object> user;  // the plain user on success
  AuthError error = AuthError::kFailed;

  // What the page's sign-in gets: {"user": …} or {"error": code}.
  json::object pageValue() const;
};

class HostAuth {
 public:
  struct Services {
    std::unique_ptr<HttpClient> http;
    std::unique_ptr<SecretStore> store;
    // Runs the store's calls, one at a time, in order.
    std::unique_ptr<SerialQueue> store_queue;
    // Where quillstone: links go; without it the check before a sign-in is skipped.
    std::function<std::optional<LinkHandler>()> link_handler;
    std::filesystem::path self;  // this program's binary, for that check
    // Seconds since 1970; tests move it.
    std::function<double()> now;
    std::chrono::milliseconds request_timeout{60'000};
  };

  using SignInDone = std::function<void(SignInOutcome)>;
  using TokenDone = std::function<void(std::optional<std::string>)>;
  using UserDone = std::function<void(std::optional<json::object>)>;
  using Done = std::function<void()>;

  HostAuth(AuthConfig config, EventLoop& main, Services services);
  ~HostAuth();
  HostAuth(const HostAuth&) = delete;
  HostAuth& operator=(const HostAuth&) = delete;

  // The whole sign-in, as the page asks for it: busy at once while one is under way; else the
  // start request, the browser through `sheet`, then finish() with the callback.
  void signIn(std::unique_ptr<BrowserSignIn> sheet, SignInDone done);
  // A quillstone: link handed to the program. Taken only while the browser part of a sign-in
  // is under way; otherwise ignored with a log line.
  void callback(std::string_view url);

  // Asks the service for the browser's start page; sets the challenge.
  void begin(std::function<void(std::optional<std::string>)> done);
  // Exchanges the browser's callback for a session, kept in the store. Takes the challenge.
  void finish(std::string_view callback, SignInDone done);

  // A bearer token, or none.
  void token(TokenDone done);
  void tokenEndpoint(std::string cookie, TokenDone done);
  // The stored plain user, without asking the service.
  void user(UserDone done);
  // Forgets the session here, then tells the service. `done` once it has answered (or at once
  // without a session or service address).
  void signOut(Done done);

  // The stored record, {"cookie", "user"}: none when absent or not a JSON object.
  void stored(std::function<void(std::optional<json::object>)> done);
  void keep(const json::object& record, std::function<void(bool)> done);
  void forget(Done then = nullptr);

  // A sign-in is under way: its challenge is set or its browser part shows.
  bool busy() const { return sheet_ != nullptr || challenge_.has_value(); }
  const AuthConfig& config() const { return config_; }

 private:
  struct Token {
    std::string text;
    double expires;  // seconds since 1970
  };

  // begin(), telling why there is no page: kBusy when another sign-in set its challenge while
  // this start request was under way, kFailed for every other reason.
  void start(std::function<void(std::optional<std::string> page, AuthError why)> done);
  std::optional<std::string> url(std::string_view path) const;
  HttpRequest request(std::string method, std::string url, Headers headers) const;
  // Runs `work` on the store queue, then `then` with its result on the main thread while this
  // object lives.
  template <typename Work, typename Then>
  void onStore(Work work, Then then);
  void checkSession(std::string cookie, TokenDone done);
  bool cacheToken(const std::optional<std::string>& jwt);

  AuthConfig config_;
  EventLoop& main_;
  Services services_;
  std::unique_ptr<BrowserSignIn> sheet_;
  SignInDone sheet_done_;
  std::optional<std::vector<std::string>> challenge_;
  std::optional<Token> jwt_;
  // Moves on at every keep and forget, so that an answer about an older session changes
  // nothing in the newer one.
  std::uint64_t session_epoch_ = 0;
  bool links_checked_ = false;
  bool store_failing_ = false;
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
  [[maybe_unused]] const std::thread::id main_thread_ = std::this_thread::get_id();
};

// The program's HostAuth: libsoup, the Secret Service, the desktop's link handler, and the
// deployment file in `resources` (read now, once) with the debug switches. Main thread.
std::unique_ptr<HostAuth> makeDesktopHostAuth(EventLoop& main,
                                              const std::filesystem::path& resources);

}  // namespace qs::auth
