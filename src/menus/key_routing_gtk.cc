#include "menus/key_routing_gtk.h"

#include <deque>
#include <memory>

#include "core/guarded.h"
#include "menus/menu_bar.h"

namespace qs::menus {

namespace {

// WebKit hands a key the page didn't handle back to GTK by queueing the same event again, and
// its dispatch starts over at the window. The events sent straight to the page are remembered
// (a few: the page answers asynchronously) so that the second pass is recognised.
constexpr std::size_t kRemembered = 16;

constexpr const char* kRecordKey = "quillstone-key-record";

struct Routing {
  WebKitWebView* page;
  std::function<const json::object*()> state;
  std::shared_ptr<KeyRecord> record;
  std::deque<GdkEvent*> sent;

  ~Routing() {
    for (GdkEvent* e : sent) gdk_event_unref(e);
  }
  bool takeBack(GdkEvent* event) {
    for (auto it = sent.begin(); it != sent.end(); ++it) {
      if (*it == event) {
        gdk_event_unref(*it);
        sent.erase(it);
        return true;
      }
    }
    return false;
  }
  void remember(GdkEvent* event) {
    sent.push_back(gdk_event_ref(event));
    if (sent.size() > kRemembered) {
      gdk_event_unref(sent.front());
      sent.pop_front();
    }
  }
};

// The window's menu bar, among its descendants.
GtkWidget* menuBarIn(GtkWidget* widget) {
  if (GTK_IS_POPOVER_MENU_BAR(widget)) return widget;
  for (GtkWidget* c = gtk_widget_get_first_child(widget); c; c = gtk_widget_get_next_sibling(c)) {
    if (GtkWidget* found = menuBarIn(c)) return found;
  }
  return nullptr;
}

bool pageHasFocus(GtkWidget* window, GtkWidget* page) {
  GtkWidget* focus = gtk_root_get_focus(GTK_ROOT(window));
  return focus && (focus == page || gtk_widget_is_ancestor(focus, page));
}

gboolean keyPressed(GtkEventControllerKey* controller, guint keyval, guint, GdkModifierType mods,
                    gpointer data) {
  gboolean stop = FALSE;
  guarded([&] {
    auto* routing = static_cast<Routing*>(data);
    GtkWidget* window = gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(controller));
    GdkEvent* event = gtk_event_controller_get_current_event(GTK_EVENT_CONTROLLER(controller));
    if (!event) return;
    if (routing->takeBack(event)) {
      // The page had it and let it go. A menu key stops here, as it would have had the menu bar
      // declined it; others go on to the window's own keys (F10, focus moves).
      if (mods & (GDK_CONTROL_MASK | GDK_SUPER_MASK)) {
        // Handing it back once more lets WebKit forget it without sending it to the page again.
        gtk_event_controller_key_forward(controller, GTK_WIDGET(routing->page));
        stop = TRUE;
      }
      return;
    }
    if (!pageHasFocus(window, GTK_WIDGET(routing->page))) return;
    const unsigned flags = maskFromLinux(mods & GDK_SHIFT_MASK, mods & GDK_CONTROL_MASK,
                                         mods & GDK_ALT_MASK, mods & GDK_SUPER_MASK);
    const char* name = gdk_keyval_name(keyval);
    if (opensMenuBar(name ? name : "", flags)) {
      // The window's own F10 comes after the page, which takes every key it is sent; the
      // menu bar's first item opens its menu, from which the arrows walk the rest.
      GtkWidget* bar = menuBarIn(window);
      GtkWidget* first = bar ? gtk_widget_get_first_child(bar) : nullptr;
      if (first) stop = gtk_widget_activate(first);
      return;
    }
    char characters[8] = {};
    if (gunichar c = gdk_keyval_to_unicode(gdk_keyval_to_lower(keyval))) {
      g_unichar_to_utf8(c, characters);
    }
    if (routing->record->pressed(characters, flags, MenuState(routing->state()))) return;
    routing->remember(event);
    gtk_event_controller_key_forward(controller, GTK_WIDGET(routing->page));
    stop = TRUE;
  });
  return stop;
}

}  // namespace

void routeKeys(GtkWindow* window, WebKitWebView* page, std::function<const json::object*()> state) {
  auto record = std::make_shared<KeyRecord>();
  GtkEventController* keys = gtk_event_controller_key_new();
  gtk_event_controller_set_name(keys, "quillstone-key-routing");
  gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
  g_signal_connect_data(
      keys, "key-pressed", G_CALLBACK(keyPressed), new Routing{page, std::move(state), record, {}},
      +[](gpointer data, GClosure*) { delete static_cast<Routing*>(data); }, GConnectFlags(0));
  gtk_widget_add_controller(GTK_WIDGET(window), keys);

  // A press that arrives at the page, sent there or passed on by the menu bar, went to it; one
  // that never does was performed by a menu item.
  GtkEventController* arrivals = gtk_event_controller_key_new();
  gtk_event_controller_set_name(arrivals, "quillstone-key-record");
  gtk_event_controller_set_propagation_phase(arrivals, GTK_PHASE_CAPTURE);
  using Held = std::shared_ptr<KeyRecord>;
  g_signal_connect_data(
      arrivals, "key-pressed",
      G_CALLBACK(
          +[](GtkEventControllerKey*, guint, guint, GdkModifierType, gpointer data) -> gboolean {
            (*static_cast<Held*>(data))->reachedPage();
            return FALSE;
          }),
      new Held(record), +[](gpointer data, GClosure*) { delete static_cast<Held*>(data); },
      GConnectFlags(0));
  gtk_widget_add_controller(GTK_WIDGET(page), arrivals);
  g_object_set_data_full(
      G_OBJECT(page), kRecordKey, new Held(record),
      +[](gpointer data) { delete static_cast<Held*>(data); });
}

KeyWent lastKey(WebKitWebView* page) {
  const auto* record =
      static_cast<std::shared_ptr<KeyRecord>*>(g_object_get_data(G_OBJECT(page), kRecordKey));
  return record ? (*record)->lastKey() : KeyWent::kNowhere;
}

}  // namespace qs::menus
