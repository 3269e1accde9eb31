#include "app/accessibility_gtk.h"

#include <gtk/gtk.h>

#include <cstring>
#include <string>

#include "app/accessibility.h"
#include "core/guarded.h"

namespace qs::app {

namespace {

constexpr const char* kWatched = "quillstone-described";

void label(GtkWidget* widget, const std::string& text) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 text.c_str(), -1);
}

void describe(GtkWidget* widget, const char* text) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 text ? text : "", -1);
}

std::string windowTitle(GtkWidget* widget) {
  GtkRoot* root = gtk_widget_get_root(widget);
  const char* title =
      root && GTK_IS_WINDOW(root) ? gtk_window_get_title(GTK_WINDOW(root)) : nullptr;
  return title ? title : "";
}

void describeTree(GtkWidget* widget);

// A window is described as it is realized: its text is set by then, and GTK has not yet told
// the screen reader of it (a change of a window's name after that leaves libatspi's clients,
// pyatspi among them, with an application they take to be gone). A menu fills its popover as
// it opens, and is described each time it maps.
void watch(GtkWidget* widget) {
  if (g_object_get_data(G_OBJECT(widget), kWatched)) return;
  g_object_set_data(G_OBJECT(widget), kWatched, GINT_TO_POINTER(1));
  const bool window = GTK_IS_WINDOW(widget);
  g_signal_connect(widget, window ? "realize" : "map",
                   G_CALLBACK(+[](GtkWidget* w, gpointer) { guarded([&] { describeTree(w); }); }),
                   nullptr);
  if (window ? gtk_widget_get_realized(widget) : gtk_widget_get_mapped(widget)) {
    describeTree(widget);
  }
}

void describeOne(GtkWidget* w) {
  if (GTK_IS_BUTTON(w) && gtk_button_get_use_underline(GTK_BUTTON(w))) {
    const char* text = gtk_button_get_label(GTK_BUTTON(w));
    if (text && *text) {
      // GTK 4.8 says both the label, mnemonic marks and all, and the text of the label inside.
      gtk_accessible_reset_relation(GTK_ACCESSIBLE(w), GTK_ACCESSIBLE_RELATION_LABELLED_BY);
      label(w, withoutMnemonic(text));
    }
  } else if (GTK_IS_CHECK_BUTTON(w) && gtk_check_button_get_use_underline(GTK_CHECK_BUTTON(w))) {
    const char* text = gtk_check_button_get_label(GTK_CHECK_BUTTON(w));
    if (text && *text) label(w, withoutMnemonic(text));
  } else if (GTK_IS_PROGRESS_BAR(w)) {
    label(w, windowTitle(w));
    describe(w, gtk_progress_bar_get_text(GTK_PROGRESS_BAR(w)));
    if (!g_object_get_data(G_OBJECT(w), kWatched)) {
      g_object_set_data(G_OBJECT(w), kWatched, GINT_TO_POINTER(1));
      g_signal_connect(w, "notify::text", G_CALLBACK(+[](GObject* bar, GParamSpec*, gpointer) {
                         describe(GTK_WIDGET(bar),
                                  gtk_progress_bar_get_text(GTK_PROGRESS_BAR(bar)));
                       }),
                       nullptr);
    }
  } else if (std::strcmp(G_OBJECT_TYPE_NAME(w), "GtkModelButton") == 0) {
    // A menu item's keys are drawn beside it but not said: they become its description.
    g_autofree char* accel = nullptr;
    g_object_get(w, "accel", &accel, nullptr);
    guint key = 0;
    GdkModifierType mods{};
    if (accel && gtk_accelerator_parse(accel, &key, &mods) && key) {
      g_autofree char* keys = gtk_accelerator_get_label(key, mods);
      describe(w, keys);
    }
  } else if (GTK_IS_MESSAGE_DIALOG(w)) {
    g_autofree char* text = nullptr;
    g_autofree char* detail = nullptr;
    g_object_get(w, "text", &text, "secondary-text", &detail, nullptr);
    label(w, alertName(windowTitle(w), text ? text : ""));
    if (detail) describe(w, detail);
  }
}

void describeTree(GtkWidget* widget) {
  describeOne(widget);
  for (GtkWidget* c = gtk_widget_get_first_child(widget); c; c = gtk_widget_get_next_sibling(c)) {
    if (GTK_IS_POPOVER(c)) {
      watch(c);
    } else {
      describeTree(c);
    }
  }
}

}  // namespace

void describeWindowsForScreenReaders() {
  GListModel* windows = gtk_window_get_toplevels();
  for (guint i = 0, n = g_list_model_get_n_items(windows); i < n; ++i) {
    g_autoptr(GtkWidget) window = GTK_WIDGET(g_list_model_get_item(windows, i));
    watch(window);
  }
  g_signal_connect(windows, "items-changed",
                   G_CALLBACK(+[](GListModel* list, guint at, guint, guint added, gpointer) {
                     guarded([&] {
                       for (guint i = at; i < at + added; ++i) {
                         g_autoptr(GtkWidget) window = GTK_WIDGET(g_list_model_get_item(list, i));
                         watch(window);
                       }
                     });
                   }),
                   nullptr);
}

}  // namespace qs::app
