// The floor under the desktop's start: the least a GTK 4 application with a WebKitGTK 6.0 web
// view does to show a window with a one-line page. It starts as the program does (a
// GtkApplication, a web context and a window with a web view), and when the page's script runs
// it prints "FLOOR loaded <ms since the epoch>" and ends. startup_bench.py times it beside the
// program.
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstdio>

namespace {

constexpr const char* kPage =
    "<!doctype html><meta charset=utf-8><p>Floor.</p>"
    "<script>webkit.messageHandlers.floor.postMessage(Date.now())</script>";

void loaded(WebKitUserContentManager*, JSCValue* value, gpointer application) {
  std::printf("FLOOR loaded %.0f\n", jsc_value_to_double(value));
  std::fflush(stdout);
  g_application_quit(G_APPLICATION(application));
}

void activate(GtkApplication* application, gpointer) {
  WebKitWebContext* context = webkit_web_context_new();
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  webkit_user_content_manager_register_script_message_handler(content, "floor", nullptr);
  g_signal_connect(content, "script-message-received::floor", G_CALLBACK(loaded), application);
  GtkWidget* view = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                            "user-content-manager", content, nullptr));
  GtkWidget* window = gtk_application_window_new(application);
  gtk_window_set_default_size(GTK_WINDOW(window), 1280, 820);
  // No title bar, as the program's windows.
  GtkWidget* no_title_bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_widget_set_visible(no_title_bar, FALSE);
  gtk_window_set_titlebar(GTK_WINDOW(window), no_title_bar);
  gtk_window_set_child(GTK_WINDOW(window), view);
  webkit_web_view_load_html(WEBKIT_WEB_VIEW(view), kPage, "about:blank");
  gtk_window_present(GTK_WINDOW(window));
  g_object_unref(content);
  g_object_unref(context);
}

}  // namespace

int main(int argc, char** argv) {
  GtkApplication* application =
      gtk_application_new("org.quillstone.WindowFloor", G_APPLICATION_NON_UNIQUE);
  g_signal_connect(application, "activate", G_CALLBACK(activate), nullptr);
  const int status = g_application_run(G_APPLICATION(application), argc, argv);
  g_object_unref(application);
  return status;
}
