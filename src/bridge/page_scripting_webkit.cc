#include "bridge/page_scripting.h"

#include <webkit/webkit.h>

#include <utility>

#include "core/guarded.h"
#include "core/text.h"

namespace qs::bridge {

namespace {

// Exceptions never cross into GLib: each callback runs behind the wall.
constexpr const char* kCallback = "a page script callback";

GVariant* toVariant(const json::value& v);

// A floating a{sv} dictionary. The platform call takes numbers, strings and dictionaries only,
// so nulls and arrays are left out.
GVariant* toDictionary(const json::object& o) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  for (const auto& member : o) {
    if (GVariant* value = toVariant(member.value())) {
      const std::string key = text::makeValidUTF8(member.key());
      g_variant_builder_add(&builder, "{sv}", key.c_str(), value);
    }
  }
  return g_variant_builder_end(&builder);
}

// A floating variant for `v`, or null when the platform can't take it.
GVariant* toVariant(const json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::string:
      return g_variant_new_string(text::makeValidUTF8(v.get_string()).c_str());
    case boost::json::kind::bool_:
      return g_variant_new_boolean(v.get_bool());
    case boost::json::kind::int64:
      return g_variant_new_int64(v.get_int64());
    case boost::json::kind::uint64:
      return g_variant_new_uint64(v.get_uint64());
    case boost::json::kind::double_:
      return g_variant_new_double(v.get_double());
    case boost::json::kind::object:
      return toDictionary(v.get_object());
    case boost::json::kind::array:
    case boost::json::kind::null:
      return nullptr;
  }
  return nullptr;
}

// The script's result as JSON: none for undefined and for what JSON can't hold.
std::optional<json::value> toJSON(JSCValue* value) {
  if (!value || jsc_value_is_undefined(value)) return std::nullopt;
  g_autofree char* text = jsc_value_to_json(value, 0);
  if (!text) {
    // A cyclic object leaves an exception in the result's context; it's of no further use.
    jsc_context_clear_exception(jsc_value_get_context(value));
    return std::nullopt;
  }
  return json::parse(text);
}

class WebViewScripting final : public PageScripting {
 public:
  explicit WebViewScripting(WebKitWebView* web_view)
      : web_view_(web_view), cancellable_(g_cancellable_new()) {
    g_object_add_weak_pointer(G_OBJECT(web_view_), reinterpret_cast<gpointer*>(&web_view_));
  }

  ~WebViewScripting() override {
    if (web_view_) {
      g_object_remove_weak_pointer(G_OBJECT(web_view_), reinterpret_cast<gpointer*>(&web_view_));
    }
    // Calls still running end with a cancellation that no one hears (see Call).
    g_cancellable_cancel(cancellable_);
    g_clear_object(&cancellable_);
  }

  WebViewScripting(const WebViewScripting&) = delete;
  WebViewScripting& operator=(const WebViewScripting&) = delete;

  void callAsync(std::string body, json::object arguments, Done done) override {
    auto* call = new Call{alive_, std::move(done)};
    if (!web_view_) {
      // Still answered later, as the interface promises, so the caller sees a failed call.
      g_idle_add_full(G_PRIORITY_DEFAULT, &WebViewScripting::gone, call, &Call::release);
      return;
    }
    g_autoptr(GVariant) args = g_variant_ref_sink(toDictionary(arguments));
    webkit_web_view_call_async_javascript_function(
        web_view_, body.data(), static_cast<gssize>(body.size()), args, nullptr, nullptr,
        cancellable_, &WebViewScripting::finished, call);
  }

  void evaluate(std::string script) override {
    if (!web_view_) return;
    webkit_web_view_evaluate_javascript(web_view_, script.data(),
                                        static_cast<gssize>(script.size()), nullptr, nullptr,
                                        cancellable_, &WebViewScripting::evaluated, nullptr);
  }

 private:
  // One call in flight. It holds the scripting object weakly, so a completion that arrives
  // after the window closed reaches no one.
  struct Call {
    std::weak_ptr<const bool> alive;
    Done done;

    void answer(std::optional<json::value> result, std::optional<std::string> error) {
      if (alive.expired() || !done) return;
      guarded([&] { done(std::move(result), std::move(error)); }, kCallback);
    }
    static void release(gpointer data) { delete static_cast<Call*>(data); }
  };

  static void finished(GObject* source, GAsyncResult* result, gpointer data) noexcept {
    std::unique_ptr<Call> call(static_cast<Call*>(data));
    g_autoptr(GError) error = nullptr;
    g_autoptr(JSCValue) value = webkit_web_view_call_async_javascript_function_finish(
        WEBKIT_WEB_VIEW(source), result, &error);
    std::optional<json::value> returned;
    std::optional<std::string> failure;
    if (value) {
      guarded([&] { returned = toJSON(value); }, kCallback);
    } else {
      failure = error && error->message ? error->message : "The script failed";
    }
    call->answer(std::move(returned), std::move(failure));
  }

  static gboolean gone(gpointer data) noexcept {
    static_cast<Call*>(data)->answer(std::nullopt, "The page is gone");
    return G_SOURCE_REMOVE;
  }

  static void evaluated(GObject* source, GAsyncResult* result, gpointer) noexcept {
    // Only to release the result; a script error here is nobody's business.
    g_autoptr(JSCValue) value =
        webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
  }

  WebKitWebView* web_view_;  // cleared by GObject when the web view is finalized
  GCancellable* cancellable_;
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

}  // namespace

std::unique_ptr<PageScripting> makeWebViewScripting(WebKitWebView* web_view) {
  return std::make_unique<WebViewScripting>(web_view);
}

}  // namespace qs::bridge
