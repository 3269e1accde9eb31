#include "windows/scheme_handler.h"

#include <gio/gio.h>
#include <libsoup/soup.h>
#include <webkit/webkit.h>

#include <string>

#include "core/guarded.h"
#include "core/identity.h"

namespace qs::windows {

namespace {

using SharedHandler = std::shared_ptr<SchemeHandler>;

void failRequest(WebKitURISchemeRequest* request, GIOErrorEnum code, const char* message) {
  g_autoptr(GError) error = g_error_new_literal(G_IO_ERROR, code, message);
  webkit_uri_scheme_request_finish_error(request, error);
}

void finishRequest(WebKitURISchemeRequest* request, SchemeHandler::Response response) {
  const auto length = static_cast<gint64>(response.body.size());
  // The stream keeps the body alive until WebKit has read it; moved, not copied.
  auto* body = new std::string(std::move(response.body));
  g_autoptr(GBytes) bytes = g_bytes_new_with_free_func(
      body->data(), body->size(), [](gpointer owned) { delete static_cast<std::string*>(owned); },
      body);
  g_autoptr(GInputStream) stream = g_memory_input_stream_new_from_bytes(bytes);
  g_autoptr(WebKitURISchemeResponse) answer = webkit_uri_scheme_response_new(stream, length);
  webkit_uri_scheme_response_set_status(answer, static_cast<guint>(response.status), nullptr);
  // The page's fetch sees only the headers in this set, so Content-Type and Content-Length go in
  // with the others, besides being given to the response on their own.
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  for (const auto& [name, value] : response.headers) {
    if (name == "Content-Type") {
      webkit_uri_scheme_response_set_content_type(answer, value.c_str());
    }
    soup_message_headers_append(headers, name.c_str(), value.c_str());
  }
  webkit_uri_scheme_response_set_http_headers(answer, headers);  // takes the headers
  webkit_uri_scheme_request_finish_with_response(request, answer);
}

// The one way in from WebKit. Every request is finished, whatever happens inside: a request
// left open would leave the page waiting for a file forever.
void answerRequest(WebKitURISchemeRequest* request, gpointer data) noexcept {
  bool finished = false;
  guarded(
      [&] {
        const SchemeHandler& handler = **static_cast<SharedHandler*>(data);
        const char* uri = webkit_uri_scheme_request_get_uri(request);
        std::optional<SchemeHandler::Response> response = handler.answer(uri ? uri : "");
        if (!response) {
          failRequest(request, G_IO_ERROR_INVALID_ARGUMENT, "bad URL");
        } else {
          finishRequest(request, std::move(*response));
        }
        finished = true;
      },
      "answering a page request");
  if (!finished) failRequest(request, G_IO_ERROR_FAILED, "the request could not be answered");
}

void releaseHandler(gpointer data) {
  delete static_cast<SharedHandler*>(data);
}

}  // namespace

void registerAppScheme(WebKitWebContext* context, std::shared_ptr<SchemeHandler> handler) {
  g_return_if_fail(WEBKIT_IS_WEB_CONTEXT(context));
  g_return_if_fail(handler != nullptr);
  const std::string scheme(identity::kScheme);
  webkit_web_context_register_uri_scheme(context, scheme.c_str(), answerRequest,
                                         new SharedHandler(std::move(handler)), releaseHandler);
  // Secure, so the page counts as a secure context; CORS-enabled, so its module scripts and
  // fetches under the scheme are allowed at all.
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  webkit_security_manager_register_uri_scheme_as_secure(security, scheme.c_str());
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
}

}  // namespace qs::windows
