#include "auth/fake_auth_service.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "auth/url.h"
#include "core/digest.h"

namespace qs::testing {

namespace {

constexpr std::string_view kBasePath = "/api/auth/";
const std::string kChallenge = "__Secure-neon-auth.session_challange";
const std::string kSession = "__Secure-neon-auth.session_token";

std::string base64url(std::string_view bytes) {
  std::string text = digest::base64Encode(bytes);
  std::ranges::replace(text, '+', '-');
  std::ranges::replace(text, '/', '_');
  while (text.ends_with('=')) text.pop_back();
  return text;
}

bool hasCookie(const FakeAuthService::Request& request, const std::string& pair) {
  return ("; " + request.header("Cookie").value_or("") + "; ").find("; " + pair + "; ") !=
         std::string::npos;
}

}  // namespace

FakeAuthService::FakeAuthService()
    : server_(soup_server_new("server-header", "fake-auth ", nullptr)) {
  soup_server_add_handler(server_, nullptr, &FakeAuthService::handle, this, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!soup_server_listen_local(server_, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
    std::fprintf(stderr, "fake auth service: %s\n", error->message);
    return;
  }
  GSList* uris = soup_server_get_uris(server_);
  if (uris) port_ = static_cast<unsigned>(g_uri_get_port(static_cast<GUri*>(uris->data)));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
}

FakeAuthService::~FakeAuthService() {
  soup_server_disconnect(server_);
  g_object_unref(server_);
}

std::string FakeAuthService::jwt(std::optional<double> exp) {
  json::object claims{{"sub", "u-1"}};
  if (exp) claims["exp"] = *exp;
  return base64url(R"({"alg":"EdDSA","typ":"JWT"})") + "." + base64url(*json::compact(claims)) +
         "." + base64url("signature");
}

std::vector<FakeAuthService::Request> FakeAuthService::requestsTo(std::string_view path) const {
  std::vector<Request> found;
  std::ranges::copy_if(requests, std::back_inserter(found),
                       [&](auto& r) { return r.path == path; });
  return found;
}

void FakeAuthService::handle(SoupServer*, SoupServerMessage* message, const char*, GHashTable*,
                             gpointer data) {
  auto* self = static_cast<FakeAuthService*>(data);
  Request request;
  request.method = soup_server_message_get_method(message);
  GUri* uri = soup_server_message_get_uri(message);
  const std::string path = g_uri_get_path(uri);
  request.path = path.starts_with(kBasePath) ? path.substr(kBasePath.size())
                                             : (path == "/browser/start" ? "browser" : "");
  if (const char* query = g_uri_get_query(uri)) request.query = query;
  SoupMessageHeadersIter iter;
  soup_message_headers_iter_init(&iter, soup_server_message_get_request_headers(message));
  const char *name = nullptr, *value = nullptr;
  while (soup_message_headers_iter_next(&iter, &name, &value))
    request.headers.emplace_back(name, value);
  if (self->print_requests) {
    std::printf("REQUEST %s %s cookie=%s\n", request.method.c_str(), request.path.c_str(),
                request.header("Cookie").value_or("").c_str());
  }
  self->requests.push_back(request);

  std::optional<Answer> answer = self->answer ? self->answer(request) : std::nullopt;
  if (!answer) answer = self->serve(request);
  if (answer->hang) {
    soup_server_message_pause(message);
    return;
  }
  soup_server_message_set_status(message, static_cast<guint>(answer->status), nullptr);
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
  for (const auto& [field, text] : answer->headers) {
    soup_message_headers_append(headers, field.c_str(), text.c_str());
  }
  soup_server_message_set_response(message, "application/json", SOUP_MEMORY_COPY,
                                   answer->body.data(), answer->body.size());
}

FakeAuthService::Answer FakeAuthService::serve(const Request& request) {
  // A renewed cookie doesn't end the session the old one names.
  const bool signed_in =
      !session_token.empty() &&
      (hasCookie(request, kSession + "=" + session_token) ||
       (!renewed_token.empty() && hasCookie(request, kSession + "=" + renewed_token)));
  const std::string route = request.method + " " + request.path;
  if (route == "POST sign-in/social") {
    return {200,
            {{"Set-Cookie", kChallenge + "=chal-1; Path=/; HttpOnly; SameSite=Lax"}},
            R"({"url":")" + origin() + R"(/browser/start?state=s-1"})"};
  }
  if (route == "GET browser") {
    return {302,
            {{"Location", "quillstone://auth/callback?neon_auth_session_verifier=" +
                              auth::percentEncode(verifier)}},
            ""};
  }
  // With a verifier it ends a sign-in; without, it checks the session.
  if (route == "GET get-session") {
    const bool ending = !request.query.empty();
    if (ending && !hasCookie(request, kChallenge + "=chal-1")) return {401, {}, "{}"};
    if (!ending && !signed_in) return {200, {}, "null"};
    if (ending && session_token.empty()) session_token = "sess-1";
    const std::string& cookie = ending ? session_token : renewed_token;
    Answer reply{200, {}, R"({"session":{},"user":{"id":"u-1","name":"Ada","email":7}})"};
    if (!cookie.empty())
      reply.headers.emplace_back("Set-Cookie", kSession + "=" + cookie + "; Path=/; HttpOnly");
    if (const auto& jwt = ending ? session_jwt : check_jwt)
      reply.headers.emplace_back("set-auth-jwt", *jwt);
    return reply;
  }
  if (route == "GET token")
    return signed_in ? Answer{200, {}, R"({"token":")" + token + R"("})"} : Answer{401, {}, "{}"};
  if (route == "POST sign-out") {
    session_token.clear();
    return {200, {}, R"({"success":true})"};
  }
  return {404, {}, "{}"};
}

}  // namespace qs::testing
