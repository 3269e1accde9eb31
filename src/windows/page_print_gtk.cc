// The print dialog and WebKitGTK's print operation. WebKit's own dialog call waits in a nested
// main loop until the dialog closes (so the page's answer waited too, and a quit hung behind an
// open dialog) and says nothing when the user cancels. Here GTK's print dialog is shown like
// any other window, and the web view prints with what the user chose.
#include "windows/page_print.h"

#include <gtk/gtkunixprint.h>
#include <webkit/webkit.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "core/guarded.h"
#include "core/system_log.h"

namespace qs::windows {

namespace {

// The settings of the last print, offered again by the next dialog, as the system's shared
// print settings would be. Main thread only.
GtkPrintSettings* g_last_settings = nullptr;

using Done = std::function<void(PrintOutcome)>;

struct Asked {
  WebKitWebView* view;  // held until the dialog answers
  Done done;
};

void printWith(WebKitWebView* view, GtkPrintUnixDialog* dialog, Done done) {
  g_autoptr(GtkPrintSettings) settings = gtk_print_unix_dialog_get_settings(dialog);
  if (GtkPrinter* printer = gtk_print_unix_dialog_get_selected_printer(dialog)) {
    gtk_print_settings_set_printer(settings, gtk_printer_get_name(printer));
  }
  g_set_object(&g_last_settings, settings);

  WebKitPrintOperation* operation = webkit_print_operation_new(view);
  webkit_print_operation_set_print_settings(operation, settings);
  webkit_print_operation_set_page_setup(operation, gtk_print_unix_dialog_get_page_setup(dialog));
  // A failure comes before the operation's end; both report, the printer takes the first.
  auto* shared = new Done(std::move(done));
  g_signal_connect_data(
      operation, "failed", G_CALLBACK(+[](WebKitPrintOperation*, GError* error, gpointer data) {
        guarded([&] {
          systemLog("the page couldn't be printed: %s", error ? error->message : "?");
          (*static_cast<Done*>(data))(PrintOutcome::kFailed);
        });
      }),
      shared, nullptr, GConnectFlags(0));
  g_signal_connect_data(
      operation, "finished", G_CALLBACK(+[](WebKitPrintOperation* op, gpointer data) {
        guarded([&] { (*static_cast<Done*>(data))(PrintOutcome::kPrinted); });
        g_object_unref(op);  // the reference taken when it started
      }),
      shared, +[](gpointer data, GClosure*) { delete static_cast<Done*>(data); }, GConnectFlags(0));
  webkit_print_operation_print(operation);
}

class WebViewPrintService final : public PrintService {
 public:
  WebViewPrintService(WebKitWebView* view, GtkWindow* parent) : view_(view), parent_(parent) {}

  // The operation dispatches the page's "beforeprint" and "afterprint" around its printing,
  // whether it succeeds or fails.
  bool tellsPageWhenItPrints() const override { return true; }

  void run(const PrintJob& job, Done done) override {
    g_autoptr(GtkPageSetup) setup = gtk_page_setup_new();
    gtk_page_setup_set_top_margin(setup, job.margin, GTK_UNIT_POINTS);
    gtk_page_setup_set_bottom_margin(setup, job.margin, GTK_UNIT_POINTS);
    gtk_page_setup_set_left_margin(setup, job.margin, GTK_UNIT_POINTS);
    gtk_page_setup_set_right_margin(setup, job.margin, GTK_UNIT_POINTS);
    g_autoptr(GtkPrintSettings) settings =
        g_last_settings ? gtk_print_settings_copy(g_last_settings) : gtk_print_settings_new();
    gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_BASENAME, job.title.c_str());

    GtkWidget* widget = gtk_print_unix_dialog_new(nullptr, parent_);
    GtkPrintUnixDialog* dialog = GTK_PRINT_UNIX_DIALOG(widget);
    gtk_window_set_modal(GTK_WINDOW(widget), TRUE);
    gtk_window_set_destroy_with_parent(GTK_WINDOW(widget), TRUE);
    gtk_print_unix_dialog_set_embed_page_setup(dialog, TRUE);
    gtk_print_unix_dialog_set_page_setup(dialog, setup);
    gtk_print_unix_dialog_set_settings(dialog, settings);
    gtk_print_unix_dialog_set_manual_capabilities(
        dialog, GtkPrintCapabilities(GTK_PRINT_CAPABILITY_PAGE_SET | GTK_PRINT_CAPABILITY_COPIES |
                                     GTK_PRINT_CAPABILITY_COLLATE | GTK_PRINT_CAPABILITY_REVERSE |
                                     GTK_PRINT_CAPABILITY_SCALE | GTK_PRINT_CAPABILITY_NUMBER_UP |
                                     GTK_PRINT_CAPABILITY_GENERATE_PDF));

    auto* asked = new Asked{WEBKIT_WEB_VIEW(g_object_ref(view_)), std::move(done)};
    g_signal_connect_data(
        widget, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
          auto* a = static_cast<Asked*>(data);
          guarded([&] {
            Done then = std::exchange(a->done, nullptr);
            if (!then) return;
            if (response == GTK_RESPONSE_OK) {
              printWith(a->view, GTK_PRINT_UNIX_DIALOG(d), std::move(then));
            } else {
              then(PrintOutcome::kCancelled);
            }
          });
          gtk_window_destroy(GTK_WINDOW(d));
        }),
        asked,
        +[](gpointer data, GClosure*) {
          auto* a = static_cast<Asked*>(data);
          // A dialog that went with its window without an answer counts as cancelled.
          if (a->done) guarded([&] { a->done(PrintOutcome::kCancelled); });
          g_object_unref(a->view);
          delete a;
        },
        GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(widget));
  }

 private:
  WebKitWebView* view_;
  GtkWindow* parent_;
};

}  // namespace

std::unique_ptr<PrintService> makeWebViewPrintService(WebKitWebView* view, GtkWindow* parent) {
  return std::make_unique<WebViewPrintService>(view, parent);
}

}  // namespace qs::windows
