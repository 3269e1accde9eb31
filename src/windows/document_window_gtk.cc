#include "windows/document_window_gtk.h"

#include <cstdio>
#include <cstdlib>

#include "auth/browser_sign_in_gtk.h"
#include "auth/host_auth.h"
#include "core/build_info.h"
#include "core/file_io.h"
#include "core/guarded.h"
#include "core/identity.h"
#include "core/launch_trace.h"
#include "core/system_log.h"
#include "import/file_import.h"
#include "library/library.h"
#include "library/package.h"
#include "menus/key_routing_gtk.h"
#include "platform/file_viewer.h"
#include "platform/prefs.h"
#include "platform/recent_files.h"
#include "platform/save_dialog.h"
#include "windows/context_menu_gtk.h"

namespace qs::windows {

namespace {

constexpr const char* kHandlerName = "quillstoneHost";
constexpr GdkRGBA kWindowBackground{0.965f, 0.961f, 0.945f, 1.0f};
constexpr const char* kDebugProbe =
    "return document.visibilityState + ' | focus=' + document.hasFocus() + ' | ' + innerWidth + "
    "'x' + innerHeight + ' | ' + getComputedStyle(document.querySelector('.proto')||"
    "document.body).opacity + ' | ' + document.querySelectorAll('*').length";

// The window a callback belongs to, if it is still open.
DocumentWindowGtk* from(gpointer data) {
  return static_cast<DocumentWindowGtk*>(data);
}

// A reply's text as a page string, taken as bytes of known length: it is read once, and kept as
// Latin-1 when it is all ASCII (a C string is first widened to UTF-16, which the "open" answer
// of a large library pays for in tens of milliseconds).
JSCValue* pageString(JSCContext* context, boost::json::string text) {
  auto* owned = new boost::json::string(std::move(text));
  g_autoptr(GBytes) bytes = g_bytes_new_with_free_func(
      owned->data(), owned->size(), [](gpointer p) { delete static_cast<boost::json::string*>(p); },
      owned);
  return jsc_value_new_string_from_bytes(context, bytes);
}

}  // namespace

std::shared_ptr<DocumentWindowGtk> DocumentWindowGtk::create(const WindowServices& services,
                                                             std::optional<std::string> doc_id,
                                                             std::optional<Size> size) {
  std::shared_ptr<DocumentWindowGtk> window(new DocumentWindowGtk(services, std::move(doc_id)));
  window->build(size);
  return window;
}

DocumentWindowGtk::DocumentWindowGtk(const WindowServices& services,
                                     std::optional<std::string> doc_id)
    : services_(services), doc_id_(std::move(doc_id)) {}

DocumentWindowGtk::~DocumentWindowGtk() {
  *alive_ = false;
  context_menu_.reset();
  printer_.reset();  // a print dialog that goes with the window tells nobody
  if (window_) {     // still open as the program ends
    shutDown();
    gtk_window_destroy(window_);
  }
  dispatcher_.reset();
  print_service_.reset();
  calls_.reset();
  scripting_.reset();
  g_clear_object(&content_);
}

void DocumentWindowGtk::build(std::optional<Size> size) {
  buildWebView();
  buildPageBridge();
  buildWindow(size);
  connectWindowSignals();
  connectPageSignals();
  watchPresses();
  installScripts();
}

// The web view, with its own content manager, sharing the program's web context.
void DocumentWindowGtk::buildWebView() {
  content_ = webkit_user_content_manager_new();
  // Before GTK 4.14 WebKit's own accessibility tree of the page has no place in GTK's: the web
  // view then stands in for it, a document named after the document's title.
  const bool page_tree_reachable =
      pageTreeReachable(gtk_get_major_version(), gtk_get_minor_version());
  web_view_ = WEBKIT_WEB_VIEW(g_object_new(
      WEBKIT_TYPE_WEB_VIEW, "web-context", services_.web_context, "network-session",
      services_.network_session, "user-content-manager", content_,
      page_tree_reachable ? nullptr : "accessible-role", GTK_ACCESSIBLE_ROLE_DOCUMENT, nullptr));
  gtk_accessible_update_property(GTK_ACCESSIBLE(web_view_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 windowTitle("").c_str(), -1);
  WebKitSettings* settings = webkit_web_view_get_settings(web_view_);
  webkit_settings_set_enable_fullscreen(settings, TRUE);
  webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
  webkit_settings_set_user_agent_with_application_details(settings, "QuillstoneLinux",
                                                          build::kVersion);
  if (services_.debug) webkit_settings_set_enable_developer_extras(settings, TRUE);
  webkit_web_view_set_background_color(web_view_, &kWindowBackground);
}

// What talks to the page: scripts into it, its host messages out of it, its context menu.
void DocumentWindowGtk::buildPageBridge() {
  scripting_ = bridge::makeWebViewScripting(web_view_);
  calls_ = std::make_unique<bridge::PageCalls>(*scripting_, services_.main_loop);
  dispatcher_ =
      std::make_unique<bridge::HostDispatcher>(services_.library, services_.library.support(),
                                               services_.main_loop, services_.background, *this);
  context_menu_ = std::make_unique<ContextMenuGtk>(
      web_view_, services_.main_loop,
      [this](const std::string& script) { scripting_->evaluate(script); });
}

// The window around the web view: its size, printing, the controls over the page and the keys.
void DocumentWindowGtk::buildWindow(std::optional<Size> size) {
  window_ = GTK_WINDOW(gtk_application_window_new(services_.application));
  print_service_ = makeWebViewPrintService(web_view_, window_);
  printer_ = std::make_unique<PagePrinter>(*print_service_, services_.main_loop, [this] {
    scripting_->evaluate("dispatchEvent(new Event('afterprint'))");
  });
  gtk_widget_add_css_class(GTK_WIDGET(window_), "quillstone-document");
  gtk_window_set_title(window_, "Quillstone");
  gtk_widget_set_size_request(GTK_WIDGET(window_), kMinimumWidth, kMinimumHeight);
  const Size initial = size.value_or(Size{kDefaultWidth, kDefaultHeight});
  gtk_window_set_default_size(window_, std::max(initial.width, kMinimumWidth),
                              std::max(initial.height, kMinimumHeight));
  // No title bar: the page runs to the top edge, with the window controls laid over it.
  GtkWidget* no_title_bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_widget_set_visible(no_title_bar, FALSE);
  gtk_window_set_titlebar(window_, no_title_bar);

  overlay_ = gtk_overlay_new();
  gtk_overlay_set_child(GTK_OVERLAY(overlay_), GTK_WIDGET(web_view_));
  controls_ = gtk_window_controls_new(GTK_PACK_START);
  gtk_window_controls_set_decoration_layout(GTK_WINDOW_CONTROLS(controls_),
                                            "close,minimize,maximize:");
  gtk_widget_set_halign(controls_, GTK_ALIGN_START);
  gtk_widget_set_valign(controls_, GTK_ALIGN_START);
  gtk_widget_set_margin_start(controls_, 10);
  gtk_widget_set_margin_top(controls_, 8);
  gtk_widget_add_css_class(controls_, "quillstone-controls");
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), controls_);
  gtk_window_set_child(window_, overlay_);
  gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window_), TRUE);
  menus::routeKeys(window_, web_view_,
                   [&owner = services_.owner] { return owner.currentMenuState(); });
}

void DocumentWindowGtk::connectWindowSignals() {
  g_signal_connect(window_, "close-request", G_CALLBACK(+[](GtkWindow*, gpointer self) -> gboolean {
                     guarded([&] { from(self)->requestClose(); });
                     return TRUE;  // the window closes itself once the page has settled
                   }),
                   this);
  g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                     guarded([&] { from(self)->windowClosed(); });
                   }),
                   this);
  g_signal_connect(window_, "notify::fullscreened",
                   G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
                     guarded([&] {
                       auto* w = from(self);
                       const bool full = gtk_window_is_fullscreen(w->window_);
                       w->scripting_->evaluate(std::string("document.documentElement.classList.") +
                                               (full ? "add" : "remove") + "('is-mac-fullscreen')");
                     });
                   }),
                   this);
}

// The page's messages, its navigations and its life.
void DocumentWindowGtk::connectPageSignals() {
  g_signal_connect(content_, "script-message-with-reply-received::quillstoneHost",
                   G_CALLBACK(+[](WebKitUserContentManager*, JSCValue* value,
                                  WebKitScriptMessageReply* reply, gpointer self) -> gboolean {
                     guarded([&] { from(self)->receiveMessage(value, reply); });
                     return TRUE;
                   }),
                   this);
  g_signal_connect(web_view_, "decide-policy",
                   G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision,
                                  WebKitPolicyDecisionType type, gpointer self) -> gboolean {
                     gboolean handled = FALSE;
                     guarded([&] { handled = from(self)->decidePolicy(decision, type); });
                     return handled;
                   }),
                   this);
  g_signal_connect(
      web_view_, "create",
      G_CALLBACK(+[](WebKitWebView*, WebKitNavigationAction* action, gpointer self) -> GtkWidget* {
        guarded([&] {
          // Never a second web view: other links go to other programs.
          WebKitURIRequest* request = webkit_navigation_action_get_request(action);
          const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
          const std::string target = uri ? uri : "";
          if (newWindowGoesOutside(target)) from(self)->openOutside(target);
        });
        return nullptr;
      }),
      this);
  g_signal_connect(web_view_, "load-changed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                     if (event == WEBKIT_LOAD_FINISHED) {
                       guarded([&] { from(self)->finishedLoading(); });
                     }
                   }),
                   this);
  g_signal_connect(web_view_, "close", G_CALLBACK(+[](WebKitWebView*, gpointer self) {
                     guarded([&] { from(self)->requestClose(); });
                   }),
                   this);
  g_signal_connect(web_view_, "web-process-terminated",
                   G_CALLBACK(+[](WebKitWebView* view, WebKitWebProcessTerminationReason,
                                  gpointer) { webkit_web_view_reload(view); }),
                   nullptr);
}

// The last press in the page, for a window drag the page asks for.
void DocumentWindowGtk::watchPresses() {
  press_ = gtk_gesture_click_new();
  gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(press_), 0);
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(press_), GTK_PHASE_CAPTURE);
  g_signal_connect(
      press_, "pressed",
      G_CALLBACK(+[](GtkGestureClick* gesture, int, double x, double y, gpointer self) {
        guarded([&] {
          auto* w = from(self);
          GtkGestureSingle* single = GTK_GESTURE_SINGLE(gesture);
          double wx = x, wy = y;
          gtk_widget_translate_coordinates(GTK_WIDGET(w->web_view_), GTK_WIDGET(w->window_), x, y,
                                           &wx, &wy);
          // A move starts from surface coordinates, which include the window's shadow.
          double sx = 0, sy = 0;
          gtk_native_get_surface_transform(GTK_NATIVE(w->window_), &sx, &sy);
          wx += sx;
          wy += sy;
          w->press_device_ = gtk_gesture_get_device(GTK_GESTURE(gesture));
          w->last_press_ =
              PagePress{static_cast<int>(gtk_gesture_single_get_current_button(single)), wx, wy,
                        gtk_event_controller_get_current_event_time(GTK_EVENT_CONTROLLER(gesture))};
        });
      }),
      this);
  gtk_widget_add_controller(GTK_WIDGET(web_view_), GTK_EVENT_CONTROLLER(press_));
}

void DocumentWindowGtk::present() {
  if (!window_) return;
  services_.owner.present(window_);
  // The page is asked for once the window is on its way: the web process starts beside it.
  // (Asked for before the window is shown, it put the window off by more than it brought the
  // page forward.)
  if (!home_asked_) loadHome();
}

void DocumentWindowGtk::shutDown() {
  if (!window_ || closing_) return;  // a closed window's widgets are gone already
  closing_ = true;
  webkit_user_content_manager_unregister_script_message_handler(content_, kHandlerName, nullptr);
  for (gpointer instance : {static_cast<gpointer>(window_), static_cast<gpointer>(web_view_),
                            static_cast<gpointer>(content_), static_cast<gpointer>(press_)}) {
    g_signal_handlers_disconnect_by_data(instance, this);
  }
}

std::string DocumentWindowGtk::frameText() const {
  if (!window_) return windows::frameText({kDefaultWidth, kDefaultHeight});
  // The measure the window is restored with: GTK keeps the default size in step with the
  // user's resizing (but not with maximising), without the decorations an allocation counts.
  int width = 0, height = 0;
  gtk_window_get_default_size(window_, &width, &height);
  if (width <= 0 || height <= 0) {
    width = kDefaultWidth;
    height = kDefaultHeight;
  }
  return windows::frameText({std::max(width, kMinimumWidth), std::max(height, kMinimumHeight)});
}

// ---- scripts and loading ----

void DocumentWindowGtk::installScripts() {
  webkit_user_content_manager_remove_all_scripts(content_);
  webkit_user_content_manager_unregister_script_message_handler(content_, kHandlerName, nullptr);
  const bool claude_on = services_.prefs.get("claudeOnMac").value_or(false) == json::value(true);
  const auto scripts = bridge::userScripts(doc_id_, library::spokenName(services_.library.root()),
                                           services_.owner.bridgeScript(), claude_on);
  for (const auto& source : scripts) {
    // Top frame only: together with the page's "frame-src 'none'", no other frame ever gets
    // the bridge, which stands in for a check of the sending frame that WebKitGTK doesn't give.
    g_autoptr(WebKitUserScript) script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content_, script);
  }
  webkit_user_content_manager_register_script_message_handler_with_reply(content_, kHandlerName,
                                                                         nullptr);
}

void DocumentWindowGtk::loadHome() {
  home_asked_ = true;
  launch_trace::mark("page asked");
  webkit_web_view_load_uri(web_view_, std::string(identity::kHome).c_str());
}

void DocumentWindowGtk::finishedLoading() {
  if (services_.debug) {
    std::weak_ptr<bool> alive = alive_;
    services_.main_loop.postAfter(std::chrono::seconds(2), [this, alive] {
      if (alive.expired() || !*alive.lock()) return;
      scripting_->callAsync(
          kDebugProbe, {}, [](std::optional<json::value> result, std::optional<std::string> error) {
            std::fprintf(stderr, "DEBUG %s %s\n",
                         result ? json::compact(*result).value_or("?").c_str() : "(null)",
                         error ? error->c_str() : "(null)");
          });
    });
  }
  if (cover_) {
    std::weak_ptr<bool> alive = alive_;
    services_.main_loop.postAfter(std::chrono::milliseconds(350), [this, alive] {
      if (!alive.expired() && *alive.lock()) fadeCover();
    });
  }
}

void DocumentWindowGtk::fadeCover() {
  GtkWidget* cover = cover_;
  cover_ = nullptr;
  if (!cover) return;
  // 0.12 s in six steps; the picture goes when it is clear.
  auto step = std::make_shared<int>(0);
  std::weak_ptr<bool> alive = alive_;
  std::function<void()> tick;
  auto ticker = std::make_shared<std::function<void()>>();
  *ticker = [this, cover, step, alive, ticker] {
    if (alive.expired() || !*alive.lock()) return;
    ++*step;
    gtk_widget_set_opacity(cover, 1.0 - *step / 6.0);
    if (*step >= 6) {
      gtk_overlay_remove_overlay(GTK_OVERLAY(overlay_), cover);
      *ticker = nullptr;
      return;
    }
    services_.main_loop.postAfter(std::chrono::milliseconds(20), *ticker);
  };
  (*ticker)();
}

void DocumentWindowGtk::reloadQuietly() {
  std::weak_ptr<bool> alive = alive_;
  auto reload = [this, alive] {
    if (alive.expired() || !*alive.lock() || !window_) return;
    webkit_web_view_get_snapshot(
        web_view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto* token = static_cast<std::pair<DocumentWindowGtk*, std::weak_ptr<bool>>*>(data);
          g_autoptr(GdkTexture) picture =
              webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
          auto [self, weak] = *token;
          delete token;
          if (weak.expired() || !*weak.lock()) return;
          guarded([&] {
            if (picture) {
              GtkWidget* cover = gtk_picture_new_for_paintable(GDK_PAINTABLE(picture));
              gtk_picture_set_can_shrink(GTK_PICTURE(cover), TRUE);
              gtk_picture_set_content_fit(GTK_PICTURE(cover), GTK_CONTENT_FIT_FILL);
              gtk_overlay_add_overlay(GTK_OVERLAY(self->overlay_), cover);
              if (self->cover_)
                gtk_overlay_remove_overlay(GTK_OVERLAY(self->overlay_), self->cover_);
              self->cover_ = cover;
            }
            self->loaded_ = false;
            self->calls_->setLoaded(false);
            self->installScripts();
            self->loadHome();
          });
        },
        new std::pair<DocumentWindowGtk*, std::weak_ptr<bool>>(this, alive));
  };
  if (loaded_) {
    calls_->settle(reload);
  } else {
    reload();
  }
}

void DocumentWindowGtk::run(const std::string& command, const json::value& arg,
                            std::function<void(bool)> then) {
  calls_->run(command, arg, std::move(then));
}

void DocumentWindowGtk::pressKey(const bridge::KeyDescriptor& key) {
  calls_->key(key);
}

void DocumentWindowGtk::pressPath(std::vector<std::string> labels) {
  calls_->pressPath(std::move(labels));
}

void DocumentWindowGtk::setMenuState(json::object state) {
  menu_state_ = std::move(state);
  services_.owner.menuStateChanged(this);
}

// ---- host messages ----

void DocumentWindowGtk::receiveMessage(JSCValue* value, WebKitScriptMessageReply* reply) {
  json::value body;
  g_autofree char* text = jsc_value_to_json(value, 0);
  if (text) {
    if (auto parsed = json::parse(text)) body = std::move(*parsed);
  }
  // Held until the answer goes back, and given back when none comes (the window closed first):
  // WebKit then answers the page itself.
  std::shared_ptr<WebKitScriptMessageReply> held(webkit_script_message_reply_ref(reply),
                                                 webkit_script_message_reply_unref);
  std::shared_ptr<JSCContext> context(JSC_CONTEXT(g_object_ref(jsc_value_get_context(value))),
                                      g_object_unref);
  const char* uri = webkit_web_view_get_uri(web_view_);
  bridge::receive(closing_ ? nullptr : dispatcher_.get(), body, uri ? uri : "", true,
                  [held, context](bridge::PlatformReply answer) {
                    if (answer.error) {
                      webkit_script_message_reply_return_error_message(held.get(),
                                                                       answer.error->c_str());
                      return;
                    }
                    g_autoptr(JSCValue) result = nullptr;
                    if (answer.value.is_string()) {
                      result = pageString(context.get(), std::move(answer.value.get_string()));
                    } else {
                      const std::string encoded = json::compact(answer.value).value_or("null");
                      result = jsc_value_new_from_json(context.get(), encoded.c_str());
                    }
                    webkit_script_message_reply_return_value(held.get(), result);
                  });
}

void DocumentWindowGtk::setDocID(std::string id) {
  doc_id_ = std::move(id);
}

void DocumentWindowGtk::setTitle(std::string title) {
  title_ = std::move(title);
  updateTitle();
}

void DocumentWindowGtk::updateTitle() {
  if (!window_) return;
  gtk_window_set_title(window_, windowTitle(title_).c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(web_view_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 windowTitle(title_).c_str(), -1);
  if (!doc_id_) return;
  auto url = services_.library.url(*doc_id_);
  if (!url || doc_id_->starts_with("_")) return;
  rememberRecentFile(*url);
}

void DocumentWindowGtk::setPageMenu(json::array items, std::chrono::steady_clock::time_point at) {
  context_menu_->received(std::move(items), at);
}

void DocumentWindowGtk::printPage() {
  printer_->print(title_);
}

void DocumentWindowGtk::saveFile(std::string name, std::string dataURL) {
  auto bytes = savedFileBytes(dataURL);
  if (!bytes || !window_) return;
  askWhereToSave(window_, name,
                 [bytes = std::move(*bytes)](std::optional<std::filesystem::path> path) {
                   // A failed write is not reported: the page offered, the user chose, the disk
                   // said no.
                   if (path) (void)file_io::writeAtomically(*path, bytes);
                 });
}

void DocumentWindowGtk::applyChrome(const json::object& message) {
  if (auto bg = json::findString(message, "bg")) {
    if (auto c = color(*bg); c && c->alpha > 0.5) {
      const GdkRGBA rgba{static_cast<float>(c->red), static_cast<float>(c->green),
                         static_cast<float>(c->blue), static_cast<float>(c->alpha)};
      webkit_web_view_set_background_color(web_view_, &rgba);
    }
  }
  if (auto tone = json::findString(message, "tone")) tone_ = std::string(*tone);
  // GTK has one light-or-dark preference per program, not per window.
  g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme",
               tone_ == "dark" ? TRUE : FALSE, nullptr);
  const json::value* full = message.if_contains("full");
  const bool hide = full && full->is_bool() && full->get_bool();
  if (hide) {
    gtk_widget_add_css_class(controls_, "faded");
  } else {
    gtk_widget_remove_css_class(controls_, "faded");
  }
}

void DocumentWindowGtk::drag() {
  if (!window_ || !press_device_) return;
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window_));
  if (!surface || !GDK_IS_TOPLEVEL(surface)) return;
  // The page asks a moment after the press: whether its button is still down decides.
  GdkModifierType state{};
  GdkDevice* pointer =
      gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default()));
  double px = 0, py = 0;
  if (!pointer || !gdk_surface_get_device_position(surface, pointer, &px, &py, &state)) return;
  const auto move = moveFrom(
      last_press_, (state & GDK_BUTTON1_MASK ? 1u : 0u) | (state & GDK_BUTTON2_MASK ? 2u : 0u) |
                       (state & GDK_BUTTON3_MASK ? 4u : 0u) | (state & GDK_BUTTON4_MASK ? 8u : 0u) |
                       (state & GDK_BUTTON5_MASK ? 16u : 0u));
  if (!move) return;
  gdk_toplevel_begin_move(GDK_TOPLEVEL(surface), press_device_, move->button, move->x, move->y,
                          move->time);
}

void DocumentWindowGtk::zoom() {
  if (!window_) return;
  // The desktop's own setting for a double click on a title bar.
  std::string action = "toggle-maximize";
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  g_autoptr(GSettingsSchema) schema =
      source ? g_settings_schema_source_lookup(source, "org.gnome.desktop.wm.preferences", TRUE)
             : nullptr;
  if (schema && g_settings_schema_has_key(schema, "action-double-click-titlebar")) {
    g_autoptr(GSettings) settings = g_settings_new("org.gnome.desktop.wm.preferences");
    g_autofree char* value = g_settings_get_string(settings, "action-double-click-titlebar");
    action = value ? value : action;
  }
  if (action == "minimize") {
    gtk_window_minimize(window_);
  } else if (action == "none") {
    return;
  } else if (gtk_window_is_maximized(window_)) {
    gtk_window_unmaximize(window_);
  } else {
    gtk_window_maximize(window_);
  }
}

void DocumentWindowGtk::loaded() {
  loaded_ = true;
  calls_->setLoaded(true);
  if (pending_imports_) pending_imports_->pageLoaded();
  // Replies that came while no page was ready are read a moment after this one is.
  std::weak_ptr<bool> alive = alive_;
  services_.main_loop.postAfter(std::chrono::seconds(1), [this, alive] {
    if (!alive.expired() && *alive.lock()) services_.claude.processInbox();
  });
}

void DocumentWindowGtk::revealInFileViewer(const std::filesystem::path& path) {
  showInFileViewer(path);
}

void DocumentWindowGtk::wrote(json::array records) {
  services_.owner.wrote(records, this);
}

std::pair<bool, std::optional<std::string>> DocumentWindowGtk::claudeAsk(
    const json::object& request) {
  return services_.claude.ask(request);
}
bool DocumentWindowGtk::claudeCancel(std::string_view requestId) {
  return services_.claude.cancel(requestId);
}

void DocumentWindowGtk::claudeReply(std::string id, json::array bullets, std::string from,
                                    json::object options,
                                    std::function<void(std::optional<bool>)> then) {
  calls_->claudeReply(std::move(id), bullets, std::move(from), options, std::move(then));
}

// Sign-in: this window is where the browser part shows its dialog.
void DocumentWindowGtk::authSignIn(Value done) {
  services_.auth.signIn(auth::makeBrowserSignIn(window_),
                        [done](auth::SignInOutcome outcome) { done(outcome.pageValue()); });
}
void DocumentWindowGtk::authToken(Token done) {
  services_.auth.token(std::move(done));
}
void DocumentWindowGtk::authUser(Value done) {
  services_.auth.user([done](std::optional<json::object> user) {
    done(user ? json::value(std::move(*user)) : json::value(nullptr));
  });
}
void DocumentWindowGtk::authSignOut(Done done) {
  services_.auth.signOut(std::move(done));
}

void DocumentWindowGtk::settle(std::function<void()> done) {
  calls_->settle(std::move(done));
}

void DocumentWindowGtk::enqueueExternal(json::array records) {
  calls_->enqueue(std::move(records));
}

// ---- navigation ----

bool DocumentWindowGtk::decidePolicy(WebKitPolicyDecision* decision,
                                     WebKitPolicyDecisionType type) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (webkit_response_policy_decision_is_mime_type_supported(response)) {
      webkit_policy_decision_use(decision);
    } else {
      webkit_policy_decision_download(decision);
    }
    return true;
  }
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
  NavigationRequest r;
  r.uri = uri ? uri : "";
  const WebKitNavigationType kind = webkit_navigation_action_get_navigation_type(action);
  r.is_link_activation = kind == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED;
  const char* target = webkit_navigation_action_get_frame_name(action);
  r.targets_subframe = targetsSubframe(
      target ? target : "", r.is_link_activation || kind == WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED,
      webkit_navigation_action_is_user_gesture(action));
  r.has_target_frame = type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION;
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    if (newWindowGoesOutside(r.uri)) openOutside(r.uri);
    webkit_policy_decision_ignore(decision);
    return true;
  }
  switch (decideNavigation(r)) {
    case Navigation::kAllow:
      webkit_policy_decision_use(decision);
      break;
    case Navigation::kDownload:
      webkit_policy_decision_download(decision);
      break;
    case Navigation::kCancel:
      webkit_policy_decision_ignore(decision);
      break;
    case Navigation::kOpenOutside:
      openOutside(r.uri);
      webkit_policy_decision_ignore(decision);
      break;
  }
  return true;
}

void DocumentWindowGtk::openOutside(const std::string& uri) {
  switch (outsideAction(uri)) {
    case OutsideAction::kOpenInDefaultApp:
      openWithDefaultApp(uri);
      break;
    case OutsideAction::kShowInFileViewer: {
      g_autofree char* path = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
      if (path) showInFileViewer(path);
      break;
    }
    case OutsideAction::kIgnore: {
      const std::string scheme = schemeOf(uri);
      systemLog("ignored a link to %s", scheme.empty() ? "?" : scheme.c_str());
      break;
    }
  }
}

// ---- closing ----

void DocumentWindowGtk::requestClose() {
  std::weak_ptr<bool> alive = alive_;
  close_gate_.request(
      loaded_, [this](std::function<void()> done) { calls_->settle(std::move(done)); },
      [this, alive] {
        if (alive.expired() || !*alive.lock() || !window_) return;
        gtk_window_destroy(window_);
      });
}

void DocumentWindowGtk::windowClosed() {
  if (closing_) return;
  closing_ = true;
  // No message reaches a closing window.
  webkit_user_content_manager_unregister_script_message_handler(content_, kHandlerName, nullptr);
  window_ = nullptr;
  // The registry lets go of this window on the next turn, outside GTK's destroy signal.
  auto self = shared_from_this();
  services_.main_loop.post([self] { self->services_.owner.closed(self.get()); });
}

}  // namespace qs::windows
