#include "app/writing_folder_gtk.h"

#include "app/app_delegate_gtk.h"
#include "core/guarded.h"
#include "platform/file_chooser.h"
#include "platform/file_viewer.h"
#include "windows/document_window_gtk.h"

namespace qs::app {

namespace fs = std::filesystem;

namespace {

// An answer owed by a dialog: given once, by a response or, failing that, when the dialog goes
// away (its window closed, or the program ending).
template <typename T>
struct Owed {
  std::function<void(T)> done;
  T unanswered;
  T (*read)(GtkWidget* dialog, int response);
  void give(T value) {
    if (!done) return;
    auto call = std::move(done);
    done = nullptr;
    guarded([&] { call(std::move(value)); });
  }
};

template <typename T>
void answerOnce(GtkWidget* dialog, std::function<void(T)> done, T unanswered,
                T (*read)(GtkWidget*, int)) {
  static constexpr const char* kKey = "quillstone-owed";
  g_object_set_data_full(
      G_OBJECT(dialog), kKey, new Owed<T>{std::move(done), unanswered, read},
      +[](gpointer data) { delete static_cast<Owed<T>*>(data); });
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer) {
                     auto* owed = static_cast<Owed<T>*>(g_object_get_data(G_OBJECT(d), kKey));
                     owed->give(owed->read(GTK_WIDGET(d), response));
                     gtk_window_destroy(GTK_WINDOW(d));
                   }),
                   nullptr);
  g_signal_connect(dialog, "destroy", G_CALLBACK(+[](GtkWidget* d, gpointer) {
                     auto* owed = static_cast<Owed<T>*>(g_object_get_data(G_OBJECT(d), kKey));
                     if (owed) owed->give(owed->unanswered);
                   }),
                   nullptr);
}

}  // namespace

void moveWritingFolder(AppDelegate& app) {
  if (!app.launched()) return;
  app.folderMove().run();
}

// ---- dialogs ----

GtkWindow* FolderDialogsGtk::parent() const {
  auto window = std::static_pointer_cast<windows::DocumentWindowGtk>(attached_.lock());
  return window ? window->gtkWindow() : nullptr;  // none once the window has closed
}

void FolderDialogsGtk::chooseFolder(const FolderPanel& panel,
                                    std::function<void(std::optional<fs::path>)> done) {
  GtkWindow* over = parent();
  GtkWidget* dialog = gtk_file_chooser_dialog_new(
      panel.title.c_str(), over, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Cancel",
      GTK_RESPONSE_CANCEL, panel.prompt.c_str(), GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_default_size(GTK_WINDOW(dialog), 800, 560);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_select_multiple(chooser, FALSE);
  gtk_file_chooser_set_create_folders(chooser, TRUE);
  std::error_code ec;
  if (fs::is_directory(panel.start, ec)) {
    startIn(chooser, panel.start);
  }
  // The panel's message stands above the folders, as a chooser here has no place of its own
  // for one.
  GtkWidget* message = gtk_label_new(panel.message.c_str());
  gtk_label_set_wrap(GTK_LABEL(message), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(message), 70);
  gtk_label_set_xalign(GTK_LABEL(message), 0);
  gtk_widget_set_margin_start(message, 12);
  gtk_widget_set_margin_end(message, 12);
  gtk_widget_set_margin_top(message, 12);
  gtk_widget_set_margin_bottom(message, 6);
  gtk_box_prepend(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), message);

  using Answer = std::optional<fs::path>;
  answerOnce<Answer>(
      dialog, std::move(done), std::nullopt, +[](GtkWidget* d, int response) {
        if (response != GTK_RESPONSE_ACCEPT) return Answer();
        return chosenPath(GTK_FILE_CHOOSER(d));
      });
  gtk_window_present(GTK_WINDOW(dialog));
}

void FolderDialogsGtk::alert(const Alert& alert, std::function<void(std::size_t)> done) {
  GtkWindow* over = parent();
  GtkWidget* dialog = gtk_message_dialog_new(over, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                             GTK_BUTTONS_NONE, "%s", alert.message.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert.detail.c_str());
  gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
  // The default button goes last, where a GNOME dialog keeps its affirmative one.
  for (std::size_t i = alert.buttons.size(); i-- > 0;) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), alert.buttons[i].c_str(), static_cast<int>(i));
  }
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  const int dismissed = static_cast<int>(alert.dismissed);
  g_object_set_data(G_OBJECT(dialog), "quillstone-dismissed", GINT_TO_POINTER(dismissed));
  answerOnce<std::size_t>(
      dialog, std::move(done), alert.dismissed, +[](GtkWidget* d, int response) -> std::size_t {
        if (response >= 0) return static_cast<std::size_t>(response);
        return static_cast<std::size_t>(
            GPOINTER_TO_INT(g_object_get_data(G_OBJECT(d), "quillstone-dismissed")));
      });
  gtk_window_present(GTK_WINDOW(dialog));
}

// ---- the move ----

FolderMoveGtk::FolderMoveGtk(AppDelegate& app)
    : app_(app), move_(app.writingFolder(), dialogs_, *this) {}

FolderMoveGtk::~FolderMoveGtk() {
  if (worker_.joinable()) worker_.join();
  if (pulse_) g_source_remove(pulse_);
  if (progress_) gtk_window_destroy(progress_);
}

void FolderMoveGtk::run() {
  move_.run();  // one at a time: while its dialog shows or its move runs, nothing more
}

fs::path FolderMoveGtk::root() {
  return app_.library().root();
}

std::shared_ptr<RegisteredWindow> FolderMoveGtk::currentDocumentWindow() {
  return app_.key();
}

void FolderMoveGtk::settleWindows(std::function<void()> done) {
  const auto& windows = app_.registry().windows();
  if (windows.empty()) {
    done();
    return;
  }
  // Each window answers once, by its page or by the 3.0 s limit.
  auto left = std::make_shared<std::size_t>(windows.size());
  auto finish = std::make_shared<std::function<void()>>(std::move(done));
  for (const auto& window : windows) {
    window->settle([left, finish] {
      if (--*left == 0) (*finish)();
    });
  }
}

void FolderMoveGtk::moveLibrary(const fs::path& to,
                                std::function<void(library::Library::MoveResult)> done) {
  // Events from the packages leaving would only make the watch look at a library mid-move.
  app_.stopWatchingWritingFolder();

  GtkWidget* window = gtk_window_new();
  progress_ = GTK_WINDOW(window);
  gtk_window_set_title(progress_, std::string(folder_words::kMoveTitle).c_str());
  gtk_window_set_modal(progress_, TRUE);
  gtk_window_set_deletable(progress_, FALSE);
  gtk_window_set_resizable(progress_, FALSE);
  if (GtkWindow* over = dialogs_.parent()) gtk_window_set_transient_for(progress_, over);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_widget_set_margin_start(box, 24);
  gtk_widget_set_margin_end(box, 24);
  gtk_widget_set_margin_top(box, 20);
  gtk_widget_set_margin_bottom(box, 20);
  const std::string text = "Moving your writing to " + library::spokenName(to) + "\u2026";
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  GtkWidget* bar = gtk_progress_bar_new();
  gtk_widget_set_size_request(bar, 320, -1);
  gtk_box_append(GTK_BOX(box), label);
  gtk_box_append(GTK_BOX(box), bar);
  gtk_window_set_child(progress_, box);
  // The bar pulses while the library looks and plans, then fills as packages are placed (a
  // screen reader reads it as a value).
  bar_ = GTK_PROGRESS_BAR(bar);
  placed_ = 0;
  total_ = 0;
  pulse_ = g_timeout_add(
      100,
      +[](gpointer self) -> gboolean {
        auto* move = static_cast<FolderMoveGtk*>(self);
        if (const int total = move->total_; total > 0) {
          gtk_progress_bar_set_fraction(move->bar_, static_cast<double>(move->placed_) / total);
        } else {
          gtk_progress_bar_pulse(move->bar_);
        }
        return G_SOURCE_CONTINUE;
      },
      this);
  gtk_window_present(progress_);

  library::Library& library = app_.library();
  EventLoop& main = app_.mainLoop();
  worker_ = std::thread([this, &library, &main, to, done = std::move(done)]() mutable {
    library::Library::MoveResult result;
    // moveAll reports its own failures; anything that still escapes is told as one.
    try {
      result = library.moveAll(to, [this](int placed, int total) {
        placed_ = placed;
        total_ = total;
      });
    } catch (const std::exception& e) {
      result.failed = e.what();
    } catch (...) {
      result.failed = "an unexpected error";
    }
    // The program waits for this answer before it ends (FolderMove::whenSettled), so `this`
    // is still there when it arrives.
    main.post([this, result, done = std::move(done)] {
      worker_.join();
      g_source_remove(pulse_);
      pulse_ = 0;
      gtk_window_destroy(progress_);
      progress_ = nullptr;
      bar_ = nullptr;
      // Refused, the library stayed where it was: the watch resumes there (else moved() restarts
      // it on wherever the library is now).
      if (!result.refused.empty()) app_.watchWritingFolder();
      done(result);
    });
  });
}

void FolderMoveGtk::moved(const fs::path&) {
  app_.library().reindexSpotlight(&app_.background());
  app_.watchWritingFolder();
  for (const auto& window : app_.registry().windows()) {
    std::static_pointer_cast<windows::DocumentWindowGtk>(window)->reloadQuietly();
  }
}

std::string FolderMoveGtk::spokenName(const fs::path& folder) {
  return library::spokenName(folder);
}

void FolderMoveGtk::showInFiles(const fs::path& folder) {
  openWithDefaultApp(fileURI(folder));
}

}  // namespace qs::app
