#include "import/import_flow_gtk.h"

#include <cstdio>
#include <functional>

#include "core/guarded.h"
#include "core/system_log.h"
#include "library/library.h"
#include "library/package.h"
#include "platform/file_chooser.h"
#include "platform/file_viewer.h"

namespace qs {

namespace fs = std::filesystem;

namespace {

using Respond = std::function<void(int response)>;

// A modal alert over `parent` (a sheet's place on this desktop) with buttons answering 0, 1, …
// in order; the first is the default. Its title repeats the message, so that the alert is
// known by it on the desktop and in tests.
void showAlert(GtkWindow* parent, const std::string& message, const std::string& informative,
               const std::vector<std::string>& buttons, Respond respond) {
  GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                             GTK_BUTTONS_NONE, "%s", message.c_str());
  if (!informative.empty()) {
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", informative.c_str());
  }
  gtk_window_set_title(GTK_WINDOW(dialog), message.c_str());
  // GTK lays the buttons out from the left and the last one is the affirmative: add them in
  // reverse so that the first, the default, stands on the right.
  for (std::size_t i = buttons.size(); i-- > 0;) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), static_cast<int>(i));
  }
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  auto* pending = new Respond(std::move(respond));
  g_signal_connect_data(
      dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
        gtk_window_destroy(GTK_WINDOW(d));
        guarded([&] {
          if (*static_cast<Respond*>(data)) (*static_cast<Respond*>(data))(response);
        });
      }),
      pending, +[](gpointer data, GClosure*) { delete static_cast<Respond*>(data); },
      GConnectFlags(0));
  gtk_window_present(GTK_WINDOW(dialog));
}

using Chosen = std::function<void(std::vector<fs::path>)>;

// An open panel over `parent`; `chosen` gets the files (none when cancelled).
void choose(GtkWindow* parent, const char* title, const char* accept, GtkFileFilter* filter,
            bool several, const std::optional<fs::path>& folder, Chosen chosen) {
  GtkFileChooserNative* panel = newOpenPanel(parent, title, accept, filter, several, folder);
  auto* pending = new Chosen(std::move(chosen));
  g_signal_connect(panel, "response",
                   G_CALLBACK(+[](GtkNativeDialog* d, int response, gpointer data) {
                     auto* done = static_cast<Chosen*>(data);
                     std::vector<fs::path> files;
                     if (response == GTK_RESPONSE_ACCEPT) files = chosenPaths(GTK_FILE_CHOOSER(d));
                     guarded([&] { (*done)(std::move(files)); });
                     delete done;
                     g_object_unref(d);
                   }),
                   pending);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(panel));
}

std::optional<fs::path> downloadsFolder() {
  if (const char* dir = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD)) return fs::path(dir);
  std::error_code ec;
  const fs::path fallback = fs::path(g_get_home_dir()) / "Downloads";
  if (fs::is_directory(fallback, ec)) return fallback;
  return std::nullopt;
}

}  // namespace

GtkFileChooserNative* newOpenPanel(GtkWindow* parent, const char* title, const char* accept,
                                   GtkFileFilter* filter, bool several,
                                   const std::optional<fs::path>& folder) {
  // GTK 4 takes a reference of its own (it sinks only a floating one, which a filter isn't).
  g_autoptr(GtkFileFilter) taken = filter;
  GtkFileChooserNative* panel =
      gtk_file_chooser_native_new(title, parent, GTK_FILE_CHOOSER_ACTION_OPEN, accept, "Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(panel), TRUE);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(panel), several);
  gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(panel), filter);
  gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(panel), filter);
  if (folder) startIn(GTK_FILE_CHOOSER(panel), *folder);
  return panel;
}

ImportFlowGtk::ImportFlowGtk(ImportWindowsGtk& windows, EventLoop& main_loop,
                             library::Library& library)
    : windows_(windows),
      main_loop_(main_loop),
      library_(library),
      batch_(main_loop, [this](std::vector<fs::path> files) { flushBatch(std::move(files)); }) {}

ImportFlowGtk::~ImportFlowGtk() {
  *alive_ = false;
  stop_ = true;
  if (worker_.joinable()) worker_.join();
}

void ImportFlowGtk::importBackup(fs::path file) {
  waiting_.push_back(std::move(file));
  if (!running_) startNext();
}

void ImportFlowGtk::startNext() {
  if (waiting_.empty() || stop_) return;
  running_ = true;
  const fs::path file = waiting_.front();
  waiting_.pop_front();
  if (worker_.joinable()) worker_.join();  // the last import's thread, already done

  // A small window beside the one the import started from shows how far it has come.
  progress_window_ = GTK_WINDOW(gtk_window_new());
  gtk_window_set_title(progress_window_, "Importing");
  gtk_window_set_resizable(progress_window_, FALSE);
  gtk_window_set_deletable(progress_window_, FALSE);
  if (GtkWindow* parent = windows_.currentGtkWindow())
    gtk_window_set_transient_for(progress_window_, parent);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  gtk_widget_set_margin_start(box, 20);
  gtk_widget_set_margin_end(box, 20);
  gtk_widget_set_margin_top(box, 16);
  gtk_widget_set_margin_bottom(box, 16);
  GtkWidget* label =
      gtk_label_new(("Bringing in \u201c" + file.filename().string() + "\u201d").c_str());
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_MIDDLE);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  progress_bar_ = GTK_PROGRESS_BAR(gtk_progress_bar_new());
  gtk_progress_bar_set_show_text(progress_bar_, TRUE);
  gtk_progress_bar_set_text(progress_bar_, "Reading the backup\u2026");
  gtk_widget_set_size_request(GTK_WIDGET(progress_bar_), 320, -1);
  gtk_box_append(GTK_BOX(box), label);
  gtk_box_append(GTK_BOX(box), GTK_WIDGET(progress_bar_));
  gtk_window_set_child(progress_window_, box);
  gtk_window_present(progress_window_);

  // The worker reads and writes; the main thread only hears of it. Progress goes to the
  // window once for each hundredth done, not once for each document.
  std::weak_ptr<bool> alive = alive_;
  EventLoop& loop = main_loop_;
  library::Library& library = library_;
  worker_ = std::thread([this, file, alive, &loop, &library] {
    std::size_t shown = static_cast<std::size_t>(-1);
    auto progress = [&](std::size_t done, std::size_t total) {
      const std::size_t step = total ? done * 100 / total : 100;
      if (step != shown) {
        shown = step;
        loop.post([this, alive, done, total] {
          if (!alive.expired() && *alive.lock()) showProgress(done, total);
        });
      }
      return !stop_.load();
    };
    BackupImport::Outcome outcome = BackupImport::run(file, library, progress);
    loop.post([this, alive, outcome = std::move(outcome)]() mutable {
      if (!alive.expired() && *alive.lock()) finished(std::move(outcome));
    });
  });
}

void ImportFlowGtk::showProgress(std::size_t done, std::size_t total) {
  if (!progress_bar_) return;
  gtk_progress_bar_set_fraction(progress_bar_, total ? double(done) / double(total) : 1.0);
  const std::string text = std::to_string(done) + " of " + std::to_string(total) + " documents";
  gtk_progress_bar_set_text(progress_bar_, text.c_str());
}

void ImportFlowGtk::finished(BackupImport::Outcome outcome) {
  if (progress_window_) gtk_window_destroy(progress_window_);
  progress_window_ = nullptr;
  progress_bar_ = nullptr;
  running_ = false;
  if (auto* failure = std::get_if<BackupImport::Failure>(&outcome)) {
    systemLog("import: %s", failure->message.c_str());
    showAlert(windows_.currentGtkWindow(), failure->message, "", {"OK"}, nullptr);
    startNext();
    return;
  }
  const auto& result = std::get<BackupImport::Result>(outcome);
  systemLog("import: %d written, %d skipped, %zu failed", result.count, result.skipped,
            result.failed.size());
  // Every page picks up the new documents; a window on a reserved document starts afresh.
  GtkWindow* key = windows_.currentGtkWindow();
  windows_.reloadAfterImport();
  const fs::path root = library_.root();
  const auto alert = BackupImport::reportAlert(result, library::spokenName(root));
  showAlert(key, alert.message, alert.informative, {"OK", std::string(BackupImport::kShowInFiles)},
            [root](int response) {
              if (response == 1) showInFileViewer(root);
            });
  startNext();
}

void ImportFlowGtk::offerImport(bool first_run) {
  const auto alert = BackupImport::offerAlert(first_run, library::spokenName(library_.root()));
  std::weak_ptr<bool> alive = alive_;
  showAlert(windows_.currentGtkWindow(), alert.message, alert.informative,
            {std::string(BackupImport::kChooseBackup),
             std::string(first_run ? BackupImport::kNotNow : BackupImport::kCancel)},
            [this, alive](int response) {
              if (response != 0 || alive.expired() || !*alive.lock()) return;
              GtkFileFilter* json = gtk_file_filter_new();
              gtk_file_filter_set_name(json, "Quillstone backups (JSON)");
              gtk_file_filter_add_mime_type(json, "application/json");
              gtk_file_filter_add_suffix(json, "json");
              choose(windows_.currentGtkWindow(), BackupImport::kChooserMessage.data(), "Choose",
                     json, false, downloadsFolder(), [this, alive](std::vector<fs::path> files) {
                       if (files.empty() || alive.expired() || !*alive.lock()) return;
                       importBackup(files.front());
                     });
            });
}

void ImportFlowGtk::importPanel() {
  GtkFileFilter* filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, "Markdown, text, Word or Quillstone files");
  for (std::string_view ext : kImportableExtensions) {
    gtk_file_filter_add_suffix(filter, std::string(ext).c_str());
  }
  std::weak_ptr<bool> alive = alive_;
  choose(windows_.currentGtkWindow(), kImportPanelMessage.data(), "Import", filter, true,
         std::nullopt, [this, alive](std::vector<fs::path> files) {
           if (files.empty() || alive.expired() || !*alive.lock()) return;
           ChosenFiles split = splitChosen(files);
           for (auto& backup : split.backups) importBackup(std::move(backup));
           importFiles(split.files);
         });
}

void ImportFlowGtk::importFiles(const std::vector<fs::path>& files) {
  batch_.add(files);
}

void ImportFlowGtk::flushBatch(std::vector<fs::path> files) {
  windows_.importIntoWindow(std::move(files));
}

}  // namespace qs
