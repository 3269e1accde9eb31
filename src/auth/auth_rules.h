// The sign-in's rules about what the service answers: which cookies count, what a token's
// expiry is, what a user object is made of, which callback is accepted. Pure; callable from any
// thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/http.h"
#include "auth/url.h"
#include "core/json.h"

namespace qs::auth {

struct Cookie {
  std::string name;
  std::string value;
  // As a Cookie header carries it: name "=" value.
  std::string text() const { return name + "=" + value; }
};

// The cookies set by a response's Set-Cookie fields that `base` may receive, in order: each
// needs a name and no control characters, and its Domain, when it has one, must cover the
// base's host. Other attributes don't matter here.
std::vector<Cookie> responseCookies(const Headers& headers, const Url& base);

// A challenge cookie of a sign-in start; the service has spelt it both ways.
bool isChallengeCookie(const Cookie& cookie);
// The session cookie: a name ending "session_token" and a value.
bool isSessionCookie(const Cookie& cookie);

// The first value of a header field, its name compared without regard to case.
std::optional<std::string> headerValue(const Headers& headers, std::string_view name);

// The response body as a JSON object; none when it is anything else.
std::optional<json::object> bodyObject(const HttpResponse& response);

// When a bearer token expires, in seconds since 1970 (fractions allowed): the "exp" of its
// payload, the second of exactly three dot-separated pieces, read as base64url. None when the
// token can't be read so.
std::optional<double> expiry(std::string_view jwt);

// The user as the page gets it: "id", "name" and "email", each a string, empty when the service
// gave none or something else.
json::object plain(const json::object& user);

// The verifier carried by the browser's callback, quillstone://auth/callback?neon_auth_session_
// verifier=…, percent-decoded. None unless the callback has that scheme, host and path, no
// port, a query correctly percent-encoded with no item named "error", and a verifier (the first
// item of that name) that is not empty and at most 4096 characters long. Other items are
// allowed.
std::optional<std::string> callbackVerifier(std::string_view callback);

inline constexpr std::size_t kVerifierLimit = 4096;

}  // namespace qs::auth
