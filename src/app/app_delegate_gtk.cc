#include "app/app_delegate_gtk.h"

#include <glib-unix.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/wayland/gdkwayland.h>
#endif

#include <csignal>
#include <cstdio>

#include "app/accessibility_gtk.h"
#include "app/environment.h"
#include "app/spelling.h"
#include "app/writing_folder_gtk.h"
#include "bridge/host_messages.h"
#include "core/build_info.h"
#include "core/file_io.h"
#include "core/guarded.h"
#include "core/identity.h"
#include "core/ids.h"
#include "core/launch_trace.h"
#include "core/system_log.h"
#include "core/text.h"
#include "import/import_flow_gtk.h"
#include "library/inotify_watcher.h"
#include "menus/menu_bar_gtk.h"
#include "platform/content_type.h"
#include "platform/file_icon.h"
#include "platform/recent_files.h"
#include "platform/save_dialog.h"
#include "windows/document_window_gtk.h"
#include "windows/scheme_handler.h"

namespace qs::app {

namespace fs = std::filesystem;

namespace {

AppDelegate* g_shared = nullptr;

// How long the library's start waits for the first window before it begins anyway.
constexpr std::chrono::milliseconds kLibraryStartHold{400};

std::optional<std::string_view> lookUp(GVariant* data, const char* key) {
  const char* value = nullptr;
  if (!data || !g_variant_lookup(data, key, "&s", &value) || !value) return std::nullopt;
  return std::string_view(value);
}

}  // namespace

// The application's class carries the launcher's token from a second launch to the running
// program. GTK 4.8 opens no display in a second launch, so it passes nothing on by itself.
struct QsApplication {
  GtkApplication parent;
};
struct QsApplicationClass {
  GtkApplicationClass parent_class;
};
G_DEFINE_TYPE(QsApplication, qs_application, GTK_TYPE_APPLICATION)

static void qs_application_init(QsApplication*) {}

static void qs_application_class_init(QsApplicationClass* klass) {
  auto* app = G_APPLICATION_CLASS(klass);
  // In the second launch: its environment's tokens go with its arguments.
  app->add_platform_data = [](GApplication* self, GVariantBuilder* builder) {
    G_APPLICATION_CLASS(qs_application_parent_class)->add_platform_data(self, builder);
    for (auto [variable, key] : {std::pair{"XDG_ACTIVATION_TOKEN", "activation-token"},
                                 std::pair{"DESKTOP_STARTUP_ID", "desktop-startup-id"}}) {
      const char* token = g_getenv(variable);
      if (token && usableToken(token)) {
        g_variant_builder_add(builder, "{sv}", key, g_variant_new_string(token));
      }
    }
  };
  // In the running program: the token stands while the launch's signal runs.
  app->before_emit = [](GApplication* self, GVariant* data) {
    G_APPLICATION_CLASS(qs_application_parent_class)->before_emit(self, data);
    guarded([&] {
      AppDelegate::shared().launchArrived(
          activationFrom(lookUp(data, "activation-token"), lookUp(data, "desktop-startup-id")));
    });
  };
  app->after_emit = [](GApplication* self, GVariant* data) {
    guarded([&] { AppDelegate::shared().launchArrived(std::nullopt); });
    G_APPLICATION_CLASS(qs_application_parent_class)->after_emit(self, data);
  };
}

AppDelegate::AppDelegate()
    : prefs_(Prefs::defaultFile()), resources_(resourcesFolder()), registry_(&prefs_) {
  g_shared = this;
}

AppDelegate::~AppDelegate() {
  shutdown();  // a run that ended before the application's own shutdown
  // Then everything goes in the reverse order of its creation: the windows, an import or a move
  // under way, the folder watch and its queue, the menu bar, sign-in, the assistant, the library,
  // the search index (its queue finishes first), the Trash and the host log. The pool and the
  // preferences, made first, go last.
  registry_.clear();
  import_.reset();  // an import still running stops and is waited for: it writes to the library
  folder_move_.reset();
  folder_watch_.reset();
  watch_queue_.reset();
  menu_bar_.reset();
  auth_.reset();
  claude_.reset();
  library_.reset();
  spotlight_.reset();
  trash_.reset();
  log_.reset();
  log_queue_.reset();
  g_clear_object(&network_session_);
  g_clear_object(&web_context_);
  g_clear_object(&application_);
  g_shared = nullptr;
}

void AppDelegate::shutdown() {
  // The main loop has ended. Nothing new is taken: no page can send another message and no
  // outside change starts a check.
  for (const auto& w : registry_.windows()) {
    std::static_pointer_cast<windows::DocumentWindowGtk>(w)->shutDown();
  }
  if (folder_watch_) folder_watch_->stop();
  // What was started finishes while everything it touches is still there: the saves, loads
  // and upkeep on the pool (the page's last saves among them), then the outside-change check.
  // Their answers to the main loop are never run; whatever they would reach is gone.
  background_.stop();
  if (watch_queue_) watch_queue_->sync([] {});
}

AppDelegate& AppDelegate::shared() {
  return *g_shared;
}

int AppDelegate::run(int argc, char** argv) {
  application_ = GTK_APPLICATION(g_object_new(qs_application_get_type(), "application-id",
                                              identity::kApplicationId.data(), "flags",
                                              G_APPLICATION_HANDLES_OPEN, nullptr));
  g_signal_connect(application_, "startup", G_CALLBACK(+[](GApplication*, gpointer self) {
                     guarded([&] { static_cast<AppDelegate*>(self)->startup(); });
                   }),
                   this);
  g_signal_connect(application_, "activate", G_CALLBACK(+[](GApplication*, gpointer self) {
                     guarded([&] { static_cast<AppDelegate*>(self)->activate(); });
                   }),
                   this);
  g_signal_connect(application_, "shutdown", G_CALLBACK(+[](GApplication*, gpointer self) {
                     guarded([&] { static_cast<AppDelegate*>(self)->shutdown(); });
                   }),
                   this);
  g_signal_connect(
      application_, "open",
      G_CALLBACK(+[](GApplication*, GFile** files, int count, const char*, gpointer self) {
        guarded([&] { static_cast<AppDelegate*>(self)->openFiles(files, count); });
      }),
      this);
  return g_application_run(G_APPLICATION(application_), argc, argv);
}

void AppDelegate::startup() {
  launch_trace::mark("startup");
  // The program stays when its last window closes; it ends by Quit or a signal.
  g_application_hold(G_APPLICATION(application_));
  auto on_signal = +[](gpointer self) -> gboolean {
    guarded([&] { static_cast<AppDelegate*>(self)->quit(); });
    return G_SOURCE_CONTINUE;
  };
  g_unix_signal_add(SIGTERM, on_signal, this);
  g_unix_signal_add(SIGINT, on_signal, this);

  // The desktop's search provider asks for a result over D-Bus (GApplication's ActivateAction),
  // starting the program first when it isn't running.
  g_autoptr(GSimpleAction) open_document =
      g_simple_action_new("open-document", G_VARIANT_TYPE_STRING);
  g_signal_connect(
      open_document, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant* id, gpointer self) {
        guarded([&] {
          static_cast<AppDelegate*>(self)->openSearchResult(g_variant_get_string(id, nullptr));
        });
      }),
      this);
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(open_document));

  describeWindowsForScreenReaders();

  // The window controls sit over the page's top strip and fade in full screen.
  g_autoptr(GtkCssProvider) css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css,
                                  ".quillstone-controls { transition: opacity 200ms ease-out; }"
                                  ".quillstone-controls.faded { opacity: 0; }"
                                  ".quillstone-controls button { min-width: 22px; min-height: 22px;"
                                  " padding: 2px; margin: 0 3px; }",
                                  -1);
  gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

  launch_trace::mark("styles");
  // The page's own scheme, and the web data every window shares.
  web_context_ = webkit_web_context_new();
  scheme_handler_ =
      std::make_shared<windows::SchemeHandler>(resources_ / "web", gioMimeTypeForExtension);
  windows::registerAppScheme(web_context_, scheme_handler_);
  if (auto store = developmentStore()) {
    // A development copy keeps its cookies and storage apart from the installed program's.
    const fs::path data = fs::path(g_get_user_data_dir()) / "quillstone" / "web-stores" / *store;
    const fs::path cache = fs::path(g_get_user_cache_dir()) / "quillstone" / "web-stores" / *store;
    network_session_ = webkit_network_session_new(data.c_str(), cache.c_str());
  } else {
    network_session_ = WEBKIT_NETWORK_SESSION(g_object_ref(webkit_network_session_get_default()));
  }

  launch_trace::mark("web context");
  // A download asks where to go, in a save dialog over the window of its page.
  g_signal_connect(network_session_, "download-started",
                   G_CALLBACK(+[](WebKitNetworkSession*, WebKitDownload* download, gpointer) {
                     g_signal_connect(download, "decide-destination",
                                      G_CALLBACK(&AppDelegate::decideDownloadDestination), nullptr);
                   }),
                   nullptr);

  // The writing folder first: the user may be asked, and may quit.
  writing_folder_ =
      std::make_unique<WritingFolder>(prefs_, WritingFolder::Settings::fromEnvironment());
  launch_dialogs_ = std::make_unique<FolderDialogsGtk>();
  writing_folder_->prepare(*launch_dialogs_, [this](std::optional<fs::path> root) {
    if (root) {
      finishLaunching(*root);
    } else {
      quit();
    }
  });
}

gboolean AppDelegate::decideDownloadDestination(WebKitDownload* download, char* suggested,
                                                gpointer) {
  guarded([&] {
    WebKitWebView* view = webkit_download_get_web_view(download);
    GtkRoot* root = view ? gtk_widget_get_root(GTK_WIDGET(view)) : nullptr;
    if (!root || !GTK_IS_WINDOW(root)) {
      webkit_download_cancel(download);
      return;
    }
    std::shared_ptr<WebKitDownload> held(WEBKIT_DOWNLOAD(g_object_ref(download)), g_object_unref);
    askWhereToSave(GTK_WINDOW(root), suggested ? suggested : "",
                   [held](std::optional<fs::path> path) {
                     if (path) {
                       std::error_code ignored;
                       fs::remove_all(*path, ignored);  // the user chose to replace it
                       webkit_download_set_allow_overwrite(held.get(), TRUE);
                       webkit_download_set_destination(held.get(), path->c_str());
                     } else {
                       webkit_download_cancel(held.get());
                     }
                   });
  });
  return TRUE;  // answered later, from the dialog
}

void AppDelegate::finishLaunching(const fs::path& root) {
  launch_trace::mark("writing folder");
  const fs::path support = library::supportURL();
  std::error_code ec;
  const bool first_run = !fs::exists(support / "workspace.json", ec);
  log_queue_ = std::make_unique<ThreadSerialQueue>("quillstone.hostlog");
  log_ = std::make_unique<HostLog>(support / "host-log.txt", *log_queue_);
  trash_ = makeDesktopTrash();
  spotlight_ = makeSQLiteSearchIndex(support / "search-index.sqlite3");
  library::Library::Services services;
  services.trash = trash_.get();
  services.spotlight = spotlight_.get();
  services.prefs = &prefs_;
  services.log = log_.get();
  services.package_hooks.main_loop = &main_loop_;
  services.package_hooks.set_icon = gvfsFolderIcon();
  // The first page's "open" is written ahead, as the page is sent it.
  services.open_ahead = library::Library::Services::OpenAhead{std::string(1, bridge::kReplyMark),
                                                              bridge::JSONText::form()};
  // The library scans on a thread of its own once the first window is up (on two processors
  // the scan put that window off by tens of milliseconds); whatever needs its state sooner has
  // it begin then, and waits for it: the page's "open" first, which is answered from it.
  services.start_hold = kLibraryStartHold;
  library_ = std::make_unique<library::Library>(root, support, services,
                                                library::Library::Start::kInBackground);
  launch_trace::mark("library");
  claude_ = std::make_unique<claude::ClaudeBridge>([this] { return library_->root(); }, support,
                                                   prefs_, log_.get(), *this);
  auth_ = auth::makeDesktopHostAuth(main_loop_, resources_);
  // The menu bar, its actions and their keys; every document window shows it.
  menu_bar_ = std::make_unique<menus::MenuBarGtk>(menus::MenuServices{.host = *this,
                                                                      .application = application_,
                                                                      .prefs = prefs_,
                                                                      .library = *library_,
                                                                      .web_context = web_context_,
                                                                      .resources = resources_});
  launch_trace::mark("services");
  menu_bar_->install();
  launch_trace::mark("menu bar");
  launched_ = true;
  main_loop_.postAfter(kLibraryStartHold, [this] { beginLibraryWork(); });

  // Changes other programs make in the writing folder reach every window; replies in the
  // assistant's inbox are read as they arrive.
  watch_queue_ = std::make_unique<ThreadSerialQueue>("quillstone.folderwatch");
  folder_watch_ = std::make_unique<library::FolderWatch>(
      main_loop_, *watch_queue_, [this] { return library_->externalChanges(); },
      [this](const json::array& records) { registry_.wrote(records, nullptr); },
      [this](std::vector<std::string> paths) {
        for (const auto& path : paths) {
          if (claude::ClaudeBridge::isInboxPath(path)) {
            claude_->processInbox();
            return;
          }
        }
      },
      [this] { return library_->recheckIn(); });
  import_ = std::make_unique<ImportFlowGtk>(*this, main_loop_, *library_);
  if (first_run && !isSet("QUILLSTONE_NO_WELCOME")) {
    main_loop_.postAfter(std::chrono::milliseconds(1200), [this] {
      if (import_ && !registry_.quitting()) import_->offerImport(true);
    });
  }
  // Watching walks the whole writing folder, on the watch's own thread, and it competes with
  // the first window for the processors: it begins after that window is up. A change made
  // before a folder got its watch is found by the full check the walk ends with, which compares
  // with the start's scan.
  main_loop_.postAfter(std::chrono::milliseconds(300), [this] {
    if (folder_watch_ && !registry_.quitting()) watchWritingFolder();
  });

  launch_trace::mark("watch made");
  // Spelling's dictionaries (tens of milliseconds) load once the first window is presented and
  // its page asked for, which activation does before the main loop turns.
  main_loop_.post([this] {
    applySpellChecking(web_context_, prefs_);
    launch_trace::mark("spelling");
  });
  // What came while the user was asked.
  if (activated_early_) activate();
  for (const auto& file : std::exchange(pending_open_, {})) open(file);
}

void AppDelegate::beginLibraryWork() {
  if (library_begun_ || !library_) return;
  library_begun_ = true;
  library_->beginStart();
  library_->reindexSpotlight(&background_);
}

void AppDelegate::watchWritingFolder() {
  if (!folder_watch_) return;
  launch_trace::mark("watch starts");
  folder_watch_->start(library_->root(), std::make_unique<library::InotifyWatcher>(main_loop_));
  launch_trace::mark("watch started");
}

void AppDelegate::stopWatchingWritingFolder() {
  if (folder_watch_) folder_watch_->stop();
}

FolderMoveGtk& AppDelegate::folderMove() {
  if (!folder_move_) folder_move_ = std::make_unique<FolderMoveGtk>(*this);
  return *folder_move_;
}

void AppDelegate::activate() {
  // The first activation opens the saved windows; later ones (a second launch, the desktop's
  // launcher) open a window when none is showing.
  if (!launched_) {
    activated_early_ = true;
    return;
  }
  if (!activated_) {
    activated_ = true;
    if (pending_open_.empty()) {
      if (!restoreWindows()) newWindow(std::nullopt, std::nullopt);
    }
    return;
  }
  if (registry_.windows().empty()) {
    newWindow(std::nullopt, std::nullopt);
  } else if (GtkWindow* active = gtk_application_get_active_window(application_)) {
    present(active);
  }
}

void AppDelegate::present(GtkWindow* window) {
  if (!activation_) {
    gtk_window_present(window);
    return;
  }
  // Wayland's activation takes the token from the display as the window asks for the focus
  // (once); X11 takes it as the window's startup id, and the launch's time with the present.
  const Activation activation = *std::exchange(activation_, std::nullopt);
#ifdef GDK_WINDOWING_WAYLAND
  GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
  if (GDK_IS_WAYLAND_DISPLAY(display)) {
    if (!activation.only_time) {
      gdk_wayland_display_set_startup_notification_id(display, activation.token.c_str());
    }
  } else {
    gtk_window_set_startup_id(window, activation.token.c_str());
  }
#else
  gtk_window_set_startup_id(window, activation.token.c_str());
#endif
  if (isSet("QUILLSTONE_DEBUG")) {
    systemLog("presented a window with the launch's token %s", activation.token.c_str());
  }
  gtk_window_present_with_time(window, activation.time);
}

void AppDelegate::openFiles(GFile** files, int count) {
  for (int i = 0; i < count; ++i) {
    g_autofree char* path = g_file_get_path(files[i]);
    if (path && !launched_) {
      pending_open_.emplace_back(path);
    } else if (path) {
      open(path);
    } else if (g_file_has_uri_scheme(files[i], identity::kScheme.data())) {
      // A link into the app: the browser's answer to a sign-in.
      g_autofree char* uri = g_file_get_uri(files[i]);
      if (uri && auth_) auth_->callback(uri);
    } else {
      g_autofree char* uri = g_file_get_uri(files[i]);
      systemLog("ignored %s", uri ? uri : "?");
    }
  }
}

bool AppDelegate::restoreWindows() {
  // A document the ledger knows is taken without waiting for the scan under way.
  auto saved = registry_.savedWindows([this](const std::string& id) {
    return library_->ledgerNamesDocument(id) || library_->url(id).has_value();
  });
  if (!saved) return false;
  for (const auto& w : *saved) newWindow(w.docID, w.size);
  return true;
}

std::shared_ptr<windows::DocumentWindowGtk> AppDelegate::newWindow(
    std::optional<std::string> doc_id, std::optional<Size> size) {
  launch_trace::mark("window asked");
  const windows::WindowServices services{.owner = *this,
                                         .application = application_,
                                         .main_loop = main_loop_,
                                         .background = background_,
                                         .prefs = prefs_,
                                         .library = *library_,
                                         .claude = *claude_,
                                         .auth = *auth_,
                                         .web_context = web_context_,
                                         .network_session = network_session_,
                                         .debug = isSet("QUILLSTONE_DEBUG")};
  auto window = windows::DocumentWindowGtk::create(services, std::move(doc_id), size);
  launch_trace::mark("window made");
  registry_.add(window);
  window->present();
  beginLibraryWork();
  if (launch_trace::enabled()) {
    launch_trace::mark("window presented");
    g_signal_connect(window->webView(), "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer) {
                       launch_trace::mark(event == WEBKIT_LOAD_STARTED     ? "page started"
                                          : event == WEBKIT_LOAD_COMMITTED ? "page committed"
                                          : event == WEBKIT_LOAD_FINISHED  ? "page finished"
                                                                           : "page redirected");
                     }),
                     nullptr);
  }
  return window;
}

void AppDelegate::closed(const windows::DocumentWindowGtk* window) {
  registry_.closed(window);
}

void AppDelegate::wrote(const json::array& records, const windows::DocumentWindowGtk* from) {
  registry_.wrote(records, from);
}

void AppDelegate::open(const fs::path& file) {
  switch (openKind(file)) {
    case OpenKind::kPackage: {
      auto id = library_->adopt(file);
      if (!id) {
        GtkWidget* alert = gtk_message_dialog_new(
            gtk_application_get_active_window(application_), GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
            GTK_BUTTONS_OK, "\u201c%s\u201d couldn't be opened.", file.stem().c_str());
        gtk_message_dialog_format_secondary_text(
            GTK_MESSAGE_DIALOG(alert),
            "Its document.json is missing or isn't a Quillstone document.");
        g_signal_connect(alert, "response", G_CALLBACK(gtk_window_destroy), nullptr);
        gtk_window_present(GTK_WINDOW(alert));
        return;
      }
      if (auto url = library_->url(*id)) rememberRecentFile(*url);
      if (auto shown = registry_.showing(*id)) {
        std::static_pointer_cast<windows::DocumentWindowGtk>(shown)->present();
      } else {
        newWindow(*id, std::nullopt);
      }
      return;
    }
    case OpenKind::kMaybeBackup:
      if (BackupImport::is(file)) {
        importBackup(file);
        return;
      }
      importFiles({file});
      return;
    case OpenKind::kImportable:
      importFiles({file});
      return;
    case OpenKind::kIgnored:
      return;
  }
}

void AppDelegate::importBackup(const fs::path& file) {
  if (import_) import_->importBackup(file);
}

void AppDelegate::offerImport(bool first_run) {
  if (import_) import_->offerImport(first_run);
}

void AppDelegate::importPanel() {
  if (import_) import_->importPanel();
}

void AppDelegate::importFiles(const std::vector<fs::path>& files) {
  if (import_) import_->importFiles(files);
}

void AppDelegate::openSearchResult(const std::string& doc_id) {
  if (!launched_ || !ids::isDocumentID(doc_id)) return;
  // Started by the bus for this result: the saved windows come back as at any start, but no
  // empty window, since the document's own is about to open.
  if (!activated_) {
    activated_ = true;
    if (registry_.windows().empty()) (void)restoreWindows();
  }
  if (auto shown = registry_.showing(doc_id)) {
    std::static_pointer_cast<windows::DocumentWindowGtk>(shown)->present();
  } else if (library_->url(doc_id)) {
    newWindow(doc_id, std::nullopt);
  } else {
    // The index outlived the document (removed while the program wasn't running).
    systemLog("no document %s to open", doc_id.c_str());
  }
}

void AppDelegate::quit() {
  // A move of the writing folder that has begun finishes first.
  if (folder_move_ && folder_move_->move().moving()) {
    folder_move_->move().whenSettled([this] { quit(); });
    return;
  }
  registry_.terminate([this] { g_application_quit(G_APPLICATION(application_)); });
}

const std::string& AppDelegate::bridgeScript() {
  if (!bridge_script_) {
    auto text = file_io::readFile(resources_ / "host" / "bridge.js");
    bridge_script_ = text && text::isValidUTF8(*text) ? *text : std::string();
  }
  return *bridge_script_;
}

void AppDelegate::toggleClaudeOnMac(GtkWindow* parent) {
  auto apply = [this](bool on) {
    claude_->setEnabled(on);
    // Every page gets its scripts afresh, with or without the assistant's functions.
    for (const auto& w : registry_.windows()) {
      std::static_pointer_cast<windows::DocumentWindowGtk>(w)->reloadQuietly();
    }
    if (menu_bar_) menu_bar_->refresh();
  };
  if (claude_->enabled()) {
    apply(false);  // turning it off needs no confirmation
    return;
  }
  GtkWidget* dialog =
      gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s",
                             std::string(claude::ClaudeBridge::confirmationMessage()).c_str());
  gtk_message_dialog_format_secondary_text(
      GTK_MESSAGE_DIALOG(dialog), "%s",
      std::string(claude::ClaudeBridge::confirmationDetail()).c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog), "Cancel", GTK_RESPONSE_CANCEL);
  gtk_dialog_add_button(GTK_DIALOG(dialog),
                        std::string(claude::ClaudeBridge::confirmationButton()).c_str(),
                        GTK_RESPONSE_ACCEPT);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  auto* pending = new std::function<void(bool)>(apply);
  g_signal_connect_data(
      dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
        guarded([&] {
          if (response == GTK_RESPONSE_ACCEPT)
            (*static_cast<std::function<void(bool)>*>(data))(true);
        });
        gtk_window_destroy(GTK_WINDOW(d));
      }),
      pending,
      +[](gpointer data, GClosure*) { delete static_cast<std::function<void(bool)>*>(data); },
      GConnectFlags(0));
  gtk_window_present(GTK_WINDOW(dialog));
}

std::shared_ptr<claude::ReplyTarget> AppDelegate::targetFor(
    const std::optional<std::string>& doc_id) {
  const auto& windows = registry_.windows();
  if (windows.empty()) return nullptr;
  if (doc_id) {
    if (auto shown = registry_.showing(*doc_id)) {
      return std::static_pointer_cast<windows::DocumentWindowGtk>(shown);
    }
  }
  GtkWindow* active = gtk_application_get_active_window(application_);
  for (const auto& w : windows) {
    auto window = std::static_pointer_cast<windows::DocumentWindowGtk>(w);
    if (active && window->gtkWindow() == active) return window;
  }
  return std::static_pointer_cast<windows::DocumentWindowGtk>(windows.front());
}

std::shared_ptr<windows::DocumentWindowGtk> AppDelegate::key() const {
  // The application lists its windows most recently focused first.
  for (GList* l = gtk_application_get_windows(application_); l; l = l->next) {
    for (const auto& w : registry_.windows()) {
      auto window = std::static_pointer_cast<windows::DocumentWindowGtk>(w);
      if (window->gtkWindow() == l->data) return window;
    }
  }
  return nullptr;
}

std::vector<std::shared_ptr<menus::MenuTargetGtk>> AppDelegate::windowList() const {
  std::vector<std::shared_ptr<menus::MenuTargetGtk>> out;
  for (const auto& w : registry_.windows()) {
    out.push_back(std::static_pointer_cast<windows::DocumentWindowGtk>(w));
  }
  return out;
}

const json::object* AppDelegate::currentMenuState() const {
  auto current = key();
  return current ? &current->menuState() : nullptr;
}

void AppDelegate::menuStateChanged(const windows::DocumentWindowGtk* window) {
  if (menu_bar_) menu_bar_->stateArrived(window);
}

void AppDelegate::moveWritingFolder() {
  app::moveWritingFolder(*this);  // over the current document window
}

GtkWindow* AppDelegate::currentGtkWindow() const {
  auto current = key();
  return current ? current->gtkWindow() : nullptr;
}

void AppDelegate::reloadAfterImport() {
  for (const auto& w : registry_.windows()) {
    std::static_pointer_cast<windows::DocumentWindowGtk>(w)->reloadAfterImport();
  }
}

void AppDelegate::importIntoWindow(std::vector<fs::path> files) {
  auto window = key();
  if (!window) window = newWindow(std::nullopt, std::nullopt);
  window->importFiles(std::move(files));
}

void AppDelegate::showAbout(GtkWindow* parent) {
  if (!library_) return;
  const std::string credits = std::string("Web app ") + build::kWebCommit +
                              "\nYour writing is in " + library::spokenName(library_->root()) + ".";
  gtk_show_about_dialog(parent, "program-name", "Quillstone", "version", build::kVersion,
                        "comments", credits.c_str(), "website", identity::kWebSite.data(),
                        "logo-icon-name", identity::kApplicationId.data(), nullptr);
}

}  // namespace qs::app
