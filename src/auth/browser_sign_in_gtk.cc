#include "auth/browser_sign_in_gtk.h"

#include <cstdio>
#include <utility>

#include "core/guarded.h"
#include "core/system_log.h"

namespace qs::auth {

namespace {

// What the dialog's signals and the browser's launch reach, through weak references: the
// sign-in object may be gone before they call.
struct Waiting {
  GtkWindow* parent = nullptr;  // weak pointer, cleared by GTK when the window goes
  GtkWidget* dialog = nullptr;
  std::function<void(BrowserSignIn::End)> ended;

  // Stops watching the window, which may be on its way out: nothing is shown over it again.
  void forgetParent() {
    if (!parent) return;
    g_object_remove_weak_pointer(G_OBJECT(parent), reinterpret_cast<gpointer*>(&parent));
    parent = nullptr;
  }

  void end(BrowserSignIn::End how) {
    auto call = std::move(ended);
    ended = nullptr;
    if (call) call(how);
  }
};

using WeakWaiting = std::weak_ptr<Waiting>;

// Signal data: a weak reference of its own, freed with the connection.
gpointer weakData(const std::shared_ptr<Waiting>& waiting) {
  return new WeakWaiting(waiting);
}
void freeWeakData(gpointer data, GClosure*) {
  delete static_cast<WeakWaiting*>(data);
}

class GtkBrowserSignIn final : public BrowserSignIn {
 public:
  explicit GtkBrowserSignIn(GtkWindow* parent) : waiting_(std::make_shared<Waiting>()) {
    waiting_->parent = parent;
    if (parent) {
      g_object_add_weak_pointer(G_OBJECT(parent), reinterpret_cast<gpointer*>(&waiting_->parent));
    }
  }

  ~GtkBrowserSignIn() override {
    g_cancellable_cancel(launch_);
    g_clear_object(&launch_);
    waiting_->ended = nullptr;
    if (GtkWidget* dialog = std::exchange(waiting_->dialog, nullptr)) {
      gtk_window_destroy(GTK_WINDOW(dialog));
    }
    // The sign-in is over: the window comes back in front of the browser.
    if (waiting_->parent && started_) gtk_window_present(waiting_->parent);
    waiting_->forgetParent();
  }

  void start(const std::string& url, std::function<void(End)> ended) override {
    started_ = true;
    waiting_->ended = std::move(ended);
    if (!waiting_->parent) {
      // The window closed while the service was asked.
      g_idle_add_full(
          G_PRIORITY_DEFAULT,
          +[](gpointer data) -> gboolean {
            if (auto waiting = static_cast<WeakWaiting*>(data)->lock())
              waiting->end(End::kCancelled);
            return G_SOURCE_REMOVE;
          },
          new WeakWaiting(waiting_), [](gpointer data) { delete static_cast<WeakWaiting*>(data); });
      return;
    }
    showWaiting();
    gtk_show_uri_full(waiting_->parent, url.c_str(), GDK_CURRENT_TIME, launch_,
                      &GtkBrowserSignIn::launched, new WeakWaiting(waiting_));
  }

  void showUnreachable() override {
    GtkWidget* alert = gtk_message_dialog_new(
        waiting_->parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "Quillstone can't receive the sign-in");
    gtk_message_dialog_format_secondary_text(
        GTK_MESSAGE_DIALOG(alert),
        "Your browser hands the sign-in back through quillstone: links, and on this computer "
        "they don't open Quillstone. Install Quillstone with its desktop entry, then sign in "
        "again.");
    g_signal_connect(alert, "response", G_CALLBACK(gtk_window_destroy), nullptr);
    gtk_window_present(GTK_WINDOW(alert));
  }

 private:
  void showWaiting() {
    GtkWidget* dialog = gtk_message_dialog_new(
        waiting_->parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "Continue in your browser");
    gtk_message_dialog_format_secondary_text(
        GTK_MESSAGE_DIALOG(dialog),
        "Sign in on the page that opened in your browser. Quillstone carries on when you're "
        "done.");
    gtk_dialog_add_button(GTK_DIALOG(dialog), "Cancel", GTK_RESPONSE_CANCEL);
    waiting_->dialog = dialog;
    // Cancel, Escape or the close button: the user gives up.
    g_signal_connect_data(dialog, "response", G_CALLBACK(+[](GtkDialog*, int, gpointer data) {
                            guarded([&] {
                              if (auto waiting = static_cast<WeakWaiting*>(data)->lock()) {
                                if (GtkWidget* shown = std::exchange(waiting->dialog, nullptr)) {
                                  gtk_window_destroy(GTK_WINDOW(shown));
                                }
                                waiting->end(End::kCancelled);
                              }
                            });
                          }),
                          weakData(waiting_), &freeWeakData, GConnectFlags(0));
    // Gone with its window (closed with the dialog up): the same.
    g_signal_connect_data(dialog, "destroy", G_CALLBACK(&GtkBrowserSignIn::dialogGone),
                          weakData(waiting_), &freeWeakData, GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(dialog));
  }

  static void dialogGone(GtkWidget*, gpointer data) {
    guarded([&] {
      auto waiting = static_cast<WeakWaiting*>(data)->lock();
      if (!waiting || !waiting->dialog) return;  // closed by its owner
      waiting->dialog = nullptr;
      waiting->forgetParent();
      waiting->end(End::kCancelled);
    });
  }

  static void launched(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<WeakWaiting> weak(static_cast<WeakWaiting*>(data));
    g_autoptr(GError) error = nullptr;
    if (gtk_show_uri_full_finish(GTK_WINDOW(source), result, &error)) return;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
    systemLog("the browser couldn't be opened for the sign-in: %s", error->message);
    guarded([&] {
      if (auto waiting = weak->lock()) waiting->end(End::kFailed);
    });
  }

  std::shared_ptr<Waiting> waiting_;
  GCancellable* launch_ = g_cancellable_new();
  bool started_ = false;
};

}  // namespace

std::unique_ptr<BrowserSignIn> makeBrowserSignIn(GtkWindow* parent) {
  return std::make_unique<GtkBrowserSignIn>(parent);
}

}  // namespace qs::auth
