#include "auth/http.h"

#include <libsoup/soup.h>

#include <unordered_set>
#include <utility>

#include "core/guarded.h"
#include "core/identity.h"

namespace qs::auth {

namespace {

constexpr gsize kReadSize = 64 * 1024;

class SoupHttpClient;

// One exchange. It lives until GLib has called back for the last time; once its client is gone
// (`owner` null) it only waits for that and frees itself, answering no one.
struct Exchange {
  SoupHttpClient* owner = nullptr;
  SoupSession* session = nullptr;  // a reference of its own
  SoupMessage* message = nullptr;
  GCancellable* cancellable = g_cancellable_new();
  GInputStream* body = nullptr;
  guint timer = 0;
  HttpResponse response;
  HttpClient::Done done;

  ~Exchange() {
    if (timer) g_source_remove(timer);
    g_clear_object(&body);
    g_clear_object(&message);
    g_clear_object(&cancellable);
    g_clear_object(&session);
  }
};

class SoupHttpClient final : public HttpClient {
 public:
  SoupHttpClient() : session_(soup_session_new()) {
    const std::string agent = "Quillstone/" + std::string(identity::kVersion);
    soup_session_set_user_agent(session_, agent.c_str());
  }

  ~SoupHttpClient() override {
    for (Exchange* exchange : exchanges_) {
      exchange->owner = nullptr;
      if (exchange->timer) g_source_remove(std::exchange(exchange->timer, 0));
      g_cancellable_cancel(exchange->cancellable);
    }
    g_clear_object(&session_);
  }

  void send(HttpRequest request, Done done) override {
    auto* exchange = new Exchange;
    exchange->owner = this;
    exchange->session = SOUP_SESSION(g_object_ref(session_));
    exchange->done = std::move(done);
    exchanges_.insert(exchange);

    exchange->message = soup_message_new(request.method.c_str(), request.url.c_str());
    if (!exchange->message) {
      // Not a URL libsoup can send to: answered as no response, from the loop.
      g_idle_add(
          +[](gpointer data) -> gboolean {
            complete(static_cast<Exchange*>(data), std::nullopt);
            return G_SOURCE_REMOVE;
          },
          exchange);
      return;
    }
    soup_message_set_flags(exchange->message, SOUP_MESSAGE_NO_REDIRECT);
    SoupMessageHeaders* headers = soup_message_get_request_headers(exchange->message);
    for (const auto& [name, value] : request.headers) {
      soup_message_headers_append(headers, name.c_str(), value.c_str());
    }
    if (request.body) {
      g_autoptr(GBytes) bytes = g_bytes_new(request.body->data(), request.body->size());
      soup_message_set_request_body_from_bytes(exchange->message, nullptr, bytes);
    }
    exchange->timer = g_timeout_add(
        static_cast<guint>(request.timeout.count()),
        +[](gpointer data) -> gboolean {
          auto* timed_out = static_cast<Exchange*>(data);
          timed_out->timer = 0;
          g_cancellable_cancel(timed_out->cancellable);
          return G_SOURCE_REMOVE;
        },
        exchange);
    soup_session_send_async(session_, exchange->message, G_PRIORITY_DEFAULT, exchange->cancellable,
                            &SoupHttpClient::sent, exchange);
  }

 private:
  static void sent(GObject* source, GAsyncResult* result, gpointer data) {
    auto* exchange = static_cast<Exchange*>(data);
    exchange->body = soup_session_send_finish(SOUP_SESSION(source), result, nullptr);
    if (!exchange->body || !exchange->owner) {
      complete(exchange, std::nullopt);
      return;
    }
    exchange->response.status = static_cast<int>(soup_message_get_status(exchange->message));
    SoupMessageHeaders* headers = soup_message_get_response_headers(exchange->message);
    SoupMessageHeadersIter iter;
    soup_message_headers_iter_init(&iter, headers);
    const char* name = nullptr;
    const char* value = nullptr;
    while (soup_message_headers_iter_next(&iter, &name, &value)) {
      exchange->response.headers.emplace_back(name, value);
    }
    const goffset length = soup_message_headers_get_content_length(headers);
    if (length > static_cast<goffset>(kBodyLimit)) {
      complete(exchange, std::nullopt);
      return;
    }
    readMore(exchange);
  }

  static void readMore(Exchange* exchange) {
    g_input_stream_read_bytes_async(exchange->body, kReadSize, G_PRIORITY_DEFAULT,
                                    exchange->cancellable, &SoupHttpClient::read, exchange);
  }

  static void read(GObject* source, GAsyncResult* result, gpointer data) {
    auto* exchange = static_cast<Exchange*>(data);
    g_autoptr(GBytes) bytes =
        g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, nullptr);
    if (!bytes || !exchange->owner) {
      complete(exchange, std::nullopt);
      return;
    }
    gsize size = 0;
    const auto* chunk = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    const bool over = exchange->response.body.size() + size > kBodyLimit;
    if (!over && size > 0) exchange->response.body.append(chunk, size);
    if (over) {
      complete(exchange, std::nullopt);
    } else if (size == 0) {
      complete(exchange, std::move(exchange->response));
    } else {
      readMore(exchange);
    }
  }

  // The exchange's end: answers its client, when it still has one, and frees it.
  static void complete(Exchange* exchange, std::optional<HttpResponse> response) {
    Done done;
    if (exchange->owner) {
      exchange->owner->exchanges_.erase(exchange);
      done = std::move(exchange->done);
    }
    delete exchange;
    if (done) guarded([&] { done(std::move(response)); });
  }

  SoupSession* session_;
  std::unordered_set<Exchange*> exchanges_;
};

}  // namespace

std::unique_ptr<HttpClient> makeSoupHttpClient() {
  return std::make_unique<SoupHttpClient>();
}

}  // namespace qs::auth
