#include "menus/shortcuts_window_gtk.h"

namespace qs::menus {

namespace {

constexpr int kWidth = 380, kHeight = 560;
constexpr int kTabStop = 330;  // the keys end here, right-aligned

}  // namespace

ShortcutsPanel::~ShortcutsPanel() {
  if (panel_) gtk_window_destroy(panel_);
}

void ShortcutsPanel::show(GtkApplication* application,
                          const std::vector<ShortcutSection>& sections) {
  if (panel_) {
    gtk_window_present(panel_);
    return;
  }
  panel_ = GTK_WINDOW(gtk_window_new());
  g_object_add_weak_pointer(G_OBJECT(panel_), reinterpret_cast<gpointer*>(&panel_));
  gtk_window_set_application(panel_, application);
  gtk_window_set_title(panel_, "Keyboard Shortcuts");
  gtk_window_set_default_size(panel_, kWidth, kHeight);
  gtk_window_set_hide_on_close(panel_, TRUE);
  gtk_widget_add_css_class(GTK_WIDGET(panel_), "quillstone-shortcuts");
  // Escape closes it, as it does a dialog.
  GtkEventController* escape = gtk_shortcut_controller_new();
  gtk_shortcut_controller_add_shortcut(
      GTK_SHORTCUT_CONTROLLER(escape),
      gtk_shortcut_new(gtk_keyval_trigger_new(GDK_KEY_Escape, GdkModifierType(0)),
                       gtk_named_action_new("window.close")));
  gtk_widget_add_controller(GTK_WIDGET(panel_), escape);

  GtkWidget* text = gtk_text_view_new();
  gtk_accessible_update_property(GTK_ACCESSIBLE(text), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 "Keyboard Shortcuts", -1);
  GtkTextView* view = GTK_TEXT_VIEW(text);
  gtk_text_view_set_editable(view, FALSE);
  gtk_text_view_set_cursor_visible(view, FALSE);
  gtk_text_view_set_left_margin(view, 16);
  gtk_text_view_set_right_margin(view, 16);
  gtk_text_view_set_top_margin(view, 14);
  gtk_text_view_set_bottom_margin(view, 14);
  gtk_text_view_set_wrap_mode(view, GTK_WRAP_NONE);
  PangoTabArray* tabs = pango_tab_array_new(1, TRUE);
  pango_tab_array_set_tab(tabs, 0, PANGO_TAB_RIGHT, kTabStop);
  gtk_text_view_set_tabs(view, tabs);
  pango_tab_array_free(tabs);

  GtkTextBuffer* buffer = gtk_text_view_get_buffer(view);
  // The desktop's own text size: headings in semibold, keys in a smaller monospace and grey.
  gtk_text_buffer_create_tag(buffer, "heading", "weight", 600, nullptr);
  gtk_text_buffer_create_tag(buffer, "title", "pixels-below-lines", 3, nullptr);
  const GdkRGBA secondary{0.45f, 0.45f, 0.47f, 1.0f};
  gtk_text_buffer_create_tag(buffer, "keys", "family", "monospace", "scale", 0.9, "foreground-rgba",
                             &secondary, "pixels-below-lines", 3, nullptr);
  GtkTextIter end;
  for (const auto& section : sections) {
    gtk_text_buffer_get_end_iter(buffer, &end);
    const std::string heading =
        (gtk_text_buffer_get_char_count(buffer) > 0 ? "\n" : "") + section.heading + "\n";
    gtk_text_buffer_insert_with_tags_by_name(buffer, &end, heading.c_str(), -1, "heading", nullptr);
    for (const auto& line : section.lines) {
      const std::string title = line.title + "\t";
      gtk_text_buffer_insert_with_tags_by_name(buffer, &end, title.c_str(), -1, "title", nullptr);
      const std::string keys = line.keys + "\n";
      gtk_text_buffer_insert_with_tags_by_name(buffer, &end, keys.c_str(), -1, "keys", nullptr);
    }
  }

  GtkWidget* scroller = gtk_scrolled_window_new();
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), text);
  gtk_window_set_child(panel_, scroller);
  gtk_window_present(panel_);
}

}  // namespace qs::menus
