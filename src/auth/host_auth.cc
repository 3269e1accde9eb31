#include "auth/host_auth.h"

#include <cassert>
#include <cstdio>
#include <utility>

#include "auth/auth_rules.h"
#include "core/system_log.h"

namespace qs::auth {

namespace {

// A cached token is handed out while it has more than this many seconds to live.
constexpr double kTokenMargin = 60;

// One line of the system log.
void logLine(const std::string& text) {
  systemLog("%s", text.c_str());
}

// " (status 500)", or " (no answer)", for a log line.
std::string outcome(const std::optional<HttpResponse>& response) {
  if (!response) return " (no answer)";
  std::string text = " (status ";
  text += std::to_string(response->status);
  text += ')';
  return text;
}

bool hasControl(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// The stored session cookie, when the record has one that can go into a header.
std::optional<std::string> storedCookie(const std::optional<json::object>& record) {
  auto cookie = record ? json::findString(*record, "cookie") : std::nullopt;
  if (!cookie || cookie->empty() || hasControl(*cookie)) return std::nullopt;
  return std::string(*cookie);
}

double systemNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string_view errorCode(AuthError error) {
  switch (error) {
    case AuthError::kCancelled:
      return "cancelled";
    case AuthError::kBusy:
      return "busy";
    case AuthError::kFailed:
      break;
  }
  return "failed";
}

json::object SignInOutcome::pageValue() const {
  if (user) return {{"user", *user}};
  return {{"error", errorCode(error)}};
}

HostAuth::HostAuth(AuthConfig config, EventLoop& main, Services services)
    : config_(std::move(config)), main_(main), services_(std::move(services)) {
  if (!services_.now) services_.now = systemNow;
}

HostAuth::~HostAuth() {
  alive_.reset();
  sheet_.reset();
  // The store's calls still queued give up at once; the queue drains before the store goes.
  if (services_.store) services_.store->interrupt();
  services_.store_queue.reset();
  services_.http.reset();
  services_.store.reset();
}

std::optional<std::string> HostAuth::url(std::string_view path) const {
  if (!config_.base) return std::nullopt;
  return appendingPath(*config_.base, path);
}

HttpRequest HostAuth::request(std::string method, std::string url, Headers headers) const {
  HttpRequest r;
  r.method = std::move(method);
  r.url = std::move(url);
  r.headers = std::move(headers);
  r.timeout = services_.request_timeout;
  return r;
}

template <typename Work, typename Then>
void HostAuth::onStore(Work work, Then then) {
  services_.store_queue->async([work = std::move(work), then = std::move(then),
                                store = services_.store.get(), &main = main_,
                                alive = std::weak_ptr<const bool>(alive_)]() mutable {
    auto result = work(*store);
    main.post([result = std::move(result), then = std::move(then), alive]() mutable {
      if (!alive.expired()) then(std::move(result));
    });
  });
}

// ---- sign-in ----

void HostAuth::signIn(std::unique_ptr<BrowserSignIn> sheet, SignInDone done) {
  assert(std::this_thread::get_id() == main_thread_);
  if (busy()) {
    done({std::nullopt, AuthError::kBusy});
    return;
  }
  if (!config_.base) {
    // No service to sign in to: nothing to check or show.
    done({std::nullopt, AuthError::kFailed});
    return;
  }
  if (!links_checked_ && services_.link_handler) {
    // Without this the dialog would wait for an answer that can never arrive.
    const auto handler = services_.link_handler();
    if (!reachesThisProgram(handler, services_.self)) {
      logLine("quillstone: links open " + (handler ? handler->id : std::string("nothing")) +
              ", not this program, so the browser can't hand the sign-in back");
      sheet->showUnreachable();
      done({std::nullopt, AuthError::kFailed});
      return;
    }
    links_checked_ = true;
  }
  auto waiting = std::make_shared<std::unique_ptr<BrowserSignIn>>(std::move(sheet));
  start([this, waiting, done = std::move(done)](std::optional<std::string> page,
                                                AuthError why) mutable {
    if (!page) {
      done({std::nullopt, why});
      return;
    }
    sheet_ = std::move(*waiting);
    sheet_done_ = std::move(done);
    sheet_->start(*page, [this](BrowserSignIn::End end) {
      challenge_.reset();
      auto finished = std::exchange(sheet_done_, nullptr);
      sheet_.reset();
      finished({std::nullopt, end == BrowserSignIn::End::kCancelled ? AuthError::kCancelled
                                                                    : AuthError::kFailed});
    });
  });
}

void HostAuth::callback(std::string_view url) {
  assert(std::this_thread::get_id() == main_thread_);
  if (!sheet_) {
    logLine("ignored a sign-in callback: no sign-in is under way");
    return;
  }
  auto done = std::exchange(sheet_done_, nullptr);
  sheet_.reset();
  finish(url, std::move(done));
}

void HostAuth::begin(std::function<void(std::optional<std::string>)> done) {
  start([done = std::move(done)](std::optional<std::string> page, AuthError) {
    done(std::move(page));
  });
}

void HostAuth::start(std::function<void(std::optional<std::string>, AuthError)> done) {
  auto target = url("sign-in/social");
  auto body =
      json::compact(json::object{{"provider", "google"}, {"callbackURL", config_.callback}});
  if (!target || !body) {
    done(std::nullopt, AuthError::kFailed);
    return;
  }
  HttpRequest ask =
      request("POST", *target, {{"Content-Type", "application/json"}, {"Origin", config_.origin}});
  ask.body = std::move(*body);
  services_.http->send(
      std::move(ask), [this, done = std::move(done)](std::optional<HttpResponse> response) {
        std::optional<std::string> page;
        std::vector<std::string> challenge;
        if (response && response->status == 200) {
          auto answer = bodyObject(*response);
          auto text = answer ? json::findString(*answer, "url") : std::nullopt;
          auto parsed = text ? Url::parse(*text) : std::nullopt;
          // Plain http only for a service on the debug switch; never another kind of link.
          const bool https = parsed && (parsed->scheme == "https" ||
                                        (config_.debug_base && parsed->scheme == "http"));
          if (https && parsed->has_authority && !parsed->host.empty()) page = std::string(*text);
          for (auto& cookie : responseCookies(response->headers, *config_.base)) {
            if (isChallengeCookie(cookie)) challenge.push_back(cookie.text());
          }
        }
        if (!page || challenge.empty()) {
          // A failure, whether or not another sign-in got under way meanwhile.
          logLine("the sign-in service didn't start a sign-in" + outcome(response));
          done(std::nullopt, AuthError::kFailed);
          return;
        }
        if (challenge_) {
          // Another sign-in that started at the same moment got there first.
          done(std::nullopt, AuthError::kBusy);
          return;
        }
        challenge_ = std::move(challenge);
        done(std::move(page), AuthError::kFailed);
      });
}

void HostAuth::finish(std::string_view callback, SignInDone done) {
  auto challenge = std::exchange(challenge_, std::nullopt);
  auto verifier = callbackVerifier(callback);
  auto target = url("get-session");
  if (!verifier || !challenge || !target) {
    if (!verifier) logLine("refused a sign-in callback that isn't the service's");
    done({std::nullopt, AuthError::kFailed});
    return;
  }
  std::string cookies;
  for (const auto& c : *challenge) cookies += (cookies.empty() ? "" : "; ") + c;
  HttpRequest session =
      request("GET", *target + "?neon_auth_session_verifier=" + percentEncode(*verifier),
              {{"Cookie", std::move(cookies)}, {"Accept", "application/json"}});
  services_.http->send(std::move(session), [this, done = std::move(done)](
                                               std::optional<HttpResponse> response) mutable {
    std::optional<Cookie> cookie;
    std::optional<json::object> user;
    if (response && response->status == 200) {
      for (auto& c : responseCookies(response->headers, *config_.base)) {
        if (isSessionCookie(c)) {
          cookie = std::move(c);
          break;
        }
      }
      auto answer = bodyObject(*response);
      const json::object* given = answer ? json::findObject(*answer, "user") : nullptr;
      if (given && json::findString(*given, "id")) user = plain(*given);
    }
    if (!cookie || !user) {
      logLine("the sign-in service didn't give a session" + outcome(response));
      done({std::nullopt, AuthError::kFailed});
      return;
    }
    auto jwt = headerValue(response->headers, "set-auth-jwt");
    keep(json::object{{"cookie", cookie->text()}, {"user", *user}},
         [this, done = std::move(done), user = *user, jwt = std::move(jwt)](bool kept) {
           if (!kept) {
             done({std::nullopt, AuthError::kFailed});
             return;
           }
           cacheToken(jwt);
           done(SignInOutcome{user});
         });
  });
}

// ---- tokens ----

bool HostAuth::cacheToken(const std::optional<std::string>& jwt) {
  auto expires = jwt ? expiry(*jwt) : std::nullopt;
  if (!expires) return false;
  jwt_ = Token{*jwt, *expires};
  return true;
}

void HostAuth::token(TokenDone done) {
  assert(std::this_thread::get_id() == main_thread_);
  if (jwt_ && jwt_->expires - services_.now() > kTokenMargin) {
    done(jwt_->text);
    return;
  }
  stored([this, done = std::move(done)](std::optional<json::object> record) mutable {
    auto cookie = storedCookie(record);
    if (!cookie || !json::findObject(*record, "user") || !config_.base) {
      done(std::nullopt);
      return;
    }
    checkSession(std::move(*cookie), std::move(done));
  });
}

void HostAuth::checkSession(std::string cookie, TokenDone done) {
  HttpRequest check =
      request("GET", *url("get-session"), {{"Cookie", cookie}, {"Accept", "application/json"}});
  services_.http->send(
      std::move(check), [this, cookie, done = std::move(done),
                         epoch = session_epoch_](std::optional<HttpResponse> response) mutable {
        if (!response || response->status != 200) {
          done(std::nullopt);
          return;
        }
        auto answer = json::parse(response->body, 64);
        if (!answer) {
          // Not the service speaking (a portal page, say): the session stays.
          done(std::nullopt);
          return;
        }
        if (epoch != session_epoch_) {
          done(std::nullopt);  // signed out, or in anew, while the check was under way
          return;
        }
        const json::object* body = answer->if_object();
        if (!body || !json::findObject(*body, "user")) {
          forget();  // the service has ended the session
          done(std::nullopt);
          return;
        }
        for (auto& renewed : responseCookies(response->headers, *config_.base)) {
          if (!isSessionCookie(renewed)) continue;
          if (renewed.text() != cookie) {
            // Read and written in one step on the store's queue, so a sign-out or a new sign-in
            // queued meanwhile is never undone.
            onStore(
                [sent = cookie, now = renewed.text()](SecretStore& store) {
                  auto found = store.lookup();
                  auto record = found.data ? json::parse(*found.data, 64) : std::nullopt;
                  if (!record || !record->is_object()) return true;
                  json::object& fields = record->get_object();
                  if (json::findString(fields, "cookie") != std::optional<std::string_view>(sent)) {
                    return true;
                  }
                  fields["cookie"] = now;
                  std::string error;
                  auto text = json::compact(*record);
                  return text && store.replace(*text, &error);
                },
                [](bool kept) {
                  if (!kept) logLine("the renewed session couldn't be kept in the Secret Service");
                });
          }
          break;
        }
        if (cacheToken(headerValue(response->headers, "set-auth-jwt"))) {
          done(jwt_->text);
          return;
        }
        tokenEndpoint(cookie, std::move(done));
      });
}

void HostAuth::tokenEndpoint(std::string cookie, TokenDone done) {
  auto target = url("token");
  if (!target) {
    done(std::nullopt);
    return;
  }
  HttpRequest fetch =
      request("GET", *target, {{"Cookie", std::move(cookie)}, {"Accept", "application/json"}});
  services_.http->send(std::move(fetch), [this, done = std::move(done), epoch = session_epoch_](
                                             std::optional<HttpResponse> response) {
    auto answer = response && response->status == 200 ? bodyObject(*response) : std::nullopt;
    auto token = answer ? json::findString(*answer, "token") : std::nullopt;
    if (!token || epoch != session_epoch_ || !cacheToken(std::string(*token))) {
      done(std::nullopt);
      return;
    }
    done(jwt_->text);
  });
}

// ---- the user and sign-out ----

void HostAuth::user(UserDone done) {
  assert(std::this_thread::get_id() == main_thread_);
  stored([done = std::move(done)](std::optional<json::object> record) {
    const json::object* user = record ? json::findObject(*record, "user") : nullptr;
    done(user ? std::optional<json::object>(*user) : std::nullopt);
  });
}

void HostAuth::signOut(Done done) {
  assert(std::this_thread::get_id() == main_thread_);
  stored([this, done = std::move(done)](std::optional<json::object> record) mutable {
    auto cookie = storedCookie(record);
    forget();
    auto target = url("sign-out");
    if (!cookie || !target) {
      done();
      return;
    }
    HttpRequest out = request("POST", *target,
                              {{"Cookie", std::move(*cookie)},
                               {"Origin", config_.origin},
                               {"Content-Type", "application/json"}});
    out.body = "{}";
    // Whatever the service answers, the session here is already gone.
    services_.http->send(std::move(out),
                         [done = std::move(done)](std::optional<HttpResponse>) { done(); });
  });
}

// ---- the stored record ----

void HostAuth::stored(std::function<void(std::optional<json::object>)> done) {
  onStore([](SecretStore& store) { return store.lookup(); },
          [this, done = std::move(done)](SecretStore::Found found) {
            // Said once while it lasts: the page asks for tokens often.
            if (found.error && !store_failing_) {
              logLine("the Secret Service couldn't be asked for the session: " + *found.error);
            }
            store_failing_ = found.error.has_value();
            auto record = found.data ? json::parse(*found.data, 64) : std::nullopt;
            if (!record || !record->is_object()) {
              done(std::nullopt);
              return;
            }
            done(std::move(record->get_object()));
          });
}

void HostAuth::keep(const json::object& record, std::function<void(bool)> done) {
  // A new session: nothing cached for the one before may be handed out for it.
  ++session_epoch_;
  jwt_.reset();
  auto text = json::compact(record);
  if (!text) {
    done(false);
    return;
  }
  onStore(
      [text = std::move(*text)](SecretStore& store) {
        std::string error;
        const bool kept = store.replace(text, &error);
        return std::make_pair(kept, std::move(error));
      },
      [done = std::move(done)](std::pair<bool, std::string> kept) {
        if (!kept.first) {
          logLine("the session couldn't be kept in the Secret Service, so the sign-in failed: " +
                  kept.second);
        }
        done(kept.first);
      });
}

void HostAuth::forget(Done then) {
  ++session_epoch_;
  jwt_.reset();
  onStore(
      [](SecretStore& store) {
        store.clear();
        return true;
      },
      [then = std::move(then)](bool) {
        if (then) then();
      });
}

}  // namespace qs::auth
