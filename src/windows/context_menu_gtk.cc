#include "windows/context_menu_gtk.h"

#include "core/guarded.h"
#include "core/text.h"

namespace qs::windows {

namespace {

Proposed proposedKind(WebKitContextMenuItem* item) {
  if (webkit_context_menu_item_is_separator(item)) return Proposed::kSeparator;
  switch (webkit_context_menu_item_get_stock_action(item)) {
    case WEBKIT_CONTEXT_MENU_ACTION_COPY:
      return Proposed::kCopy;
    case WEBKIT_CONTEXT_MENU_ACTION_PASTE:
      return Proposed::kPaste;
    // Spelling guesses and items other programs add are not the web view's own commands.
    case WEBKIT_CONTEXT_MENU_ACTION_SPELLING_GUESS:
    case WEBKIT_CONTEXT_MENU_ACTION_NO_GUESSES_FOUND:
    case WEBKIT_CONTEXT_MENU_ACTION_CUSTOM:
      return Proposed::kOther;
    default:
      // WebKitGTK has no look-up item; every other command of its own is dropped.
      return Proposed::kSystem;
  }
}

// Menu labels read "_" as the mark of a mnemonic; the page's labels mean the character itself.
std::string menuLabel(const std::string& label) {
  return text::replaceAll(label, "_", "__");
}

// The shortcut as GTK writes an accelerator, or empty when GTK has no key for the character.
std::string accelerator(const Shortcut& shortcut) {
  const gunichar c = g_utf8_get_char_validated(shortcut.key.c_str(), -1);
  if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) return {};
  const char* name = gdk_keyval_name(gdk_keyval_to_lower(gdk_unicode_to_keyval(c)));
  if (!name) return {};
  std::string accel;
  if (shortcut.control) accel += "<Super>";
  if (shortcut.option) accel += "<Alt>";
  if (shortcut.shift) accel += "<Shift>";
  if (shortcut.command) accel += "<Control>";
  accel += name;
  guint key = 0;
  GdkModifierType mods{};
  return gtk_accelerator_parse(accel.c_str(), &key, &mods) ? accel : std::string();
}

struct Choice {
  std::weak_ptr<const bool> alive;
  ContextMenu* menu;
  std::optional<json::value> id;
};

unsigned g_next_action = 1;  // main thread only

// A copy of `model` whose items name an action in `hints` show that action's accelerator.
GMenuModel* withHints(GMenuModel* model,
                      const std::vector<std::pair<std::string, std::string>>& hints) {
  GMenu* copy = g_menu_new();
  const int count = g_menu_model_get_n_items(model);
  for (int i = 0; i < count; ++i) {
    g_autoptr(GMenuItem) item = g_menu_item_new_from_model(model, i);
    for (const char* link : {G_MENU_LINK_SECTION, G_MENU_LINK_SUBMENU}) {
      g_autoptr(GMenuModel) linked = g_menu_model_get_item_link(model, i, link);
      if (!linked) continue;
      g_autoptr(GMenuModel) hinted = withHints(linked, hints);
      g_menu_item_set_link(item, link, hinted);
    }
    g_autofree char* action = nullptr;
    if (g_menu_model_get_item_attribute(model, i, G_MENU_ATTRIBUTE_ACTION, "s", &action)) {
      std::string_view name(action);
      if (auto dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
      for (const auto& [hinted, accel] : hints) {
        if (hinted == name) g_menu_item_set_attribute(item, "accel", "s", accel.c_str());
      }
    }
    g_menu_append_item(copy, item);
  }
  return G_MENU_MODEL(copy);
}

}  // namespace

ContextMenuGtk::ContextMenuGtk(WebKitWebView* view, EventLoop& main,
                               std::function<void(const std::string&)> evaluate)
    : view_(WEBKIT_WEB_VIEW(g_object_ref(view))), menu_(main, std::move(evaluate)) {
  opened_ = g_signal_connect(view_, "context-menu",
                             G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu* menu,
                                            WebKitHitTestResult*, gpointer self) -> gboolean {
                               guarded([&] { static_cast<ContextMenuGtk*>(self)->rebuild(menu); });
                               return FALSE;  // the web view shows the menu as rebuilt
                             }),
                             this);
  dismissed_ = g_signal_connect(
      view_, "context-menu-dismissed", G_CALLBACK(+[](WebKitWebView*, gpointer self) {
        guarded([&] { static_cast<ContextMenuGtk*>(self)->menu_.closed(); });
      }),
      this);
}

ContextMenuGtk::~ContextMenuGtk() {
  g_signal_handler_disconnect(view_, opened_);
  g_signal_handler_disconnect(view_, dismissed_);
  g_clear_object(&view_);
}

void ContextMenuGtk::rebuild(WebKitContextMenu* menu) {
  // Kept while the menu is emptied and filled again.
  std::vector<std::shared_ptr<WebKitContextMenuItem>> proposed_items;
  std::vector<Proposed> proposed;
  for (GList* l = webkit_context_menu_get_items(menu); l; l = l->next) {
    auto* item = WEBKIT_CONTEXT_MENU_ITEM(l->data);
    proposed_items.emplace_back(WEBKIT_CONTEXT_MENU_ITEM(g_object_ref(item)), g_object_unref);
    proposed.push_back(proposedKind(item));
  }
  const auto opened = menu_.opening(proposed, ContextMenu::Clock::now());
  const std::vector<PageItem>& page = opened.page;
  hints_.clear();
  webkit_context_menu_remove_all(menu);
  for (const auto& entry : opened.menu) {
    WebKitContextMenuItem* item = nullptr;
    switch (entry.kind) {
      case MenuEntry::Kind::kSeparator:
        item = webkit_context_menu_item_new_separator();
        break;
      case MenuEntry::Kind::kProposed:
        item = proposed_items[entry.index].get();
        break;
      case MenuEntry::Kind::kPage:
        item = pageItem(page[entry.index]);
        break;
    }
    webkit_context_menu_append(menu, item);
  }
  if (hints_.empty()) return;

  // WebKitGTK builds its menu without accelerators. The popover it is about to fill is already
  // the web view's newest child without a model; once filled, a copy of its model that carries
  // the page's shortcuts takes the place of the original. With another WebKitGTK that has no
  // such popover, the items simply show no shortcut.
  GtkWidget* popover = nullptr;
  for (GtkWidget* c = gtk_widget_get_first_child(GTK_WIDGET(view_)); c;
       c = gtk_widget_get_next_sibling(c)) {
    if (GTK_IS_POPOVER_MENU(c) && !gtk_popover_menu_get_menu_model(GTK_POPOVER_MENU(c))) {
      popover = c;
    }
  }
  if (!popover) return;
  struct Hook {
    std::weak_ptr<const bool> alive;
    ContextMenuGtk* self;
    gulong handler = 0;
  };
  auto* hook = new Hook{alive_, this};
  hook->handler = g_signal_connect_data(
      popover, "notify::menu-model", G_CALLBACK(+[](GObject* object, GParamSpec*, gpointer data) {
        // Once only: the copy set below notifies again. Disconnecting frees the hook.
        auto* h = static_cast<Hook*>(data);
        const auto alive = h->alive;
        ContextMenuGtk* self = h->self;
        g_signal_handler_disconnect(object, h->handler);
        if (alive.expired()) return;
        guarded([&] { self->showHints(GTK_POPOVER_MENU(object)); });
      }),
      hook, +[](gpointer data, GClosure*) { delete static_cast<Hook*>(data); }, GConnectFlags(0));
}

WebKitContextMenuItem* ContextMenuGtk::pageItem(const PageItem& item) {
  if (item.separator) return webkit_context_menu_item_new_separator();
  const std::string label = menuLabel(item.label);
  if (!item.submenu.empty()) {
    WebKitContextMenu* submenu = webkit_context_menu_new();
    fill(submenu, item.submenu);
    return webkit_context_menu_item_new_with_submenu(label.c_str(), submenu);
  }
  const std::string name = "quillstone-page-" + std::to_string(g_next_action++);
  g_autoptr(GSimpleAction) action =
      item.checked
          ? g_simple_action_new_stateful(name.c_str(), nullptr, g_variant_new_boolean(TRUE))
          : g_simple_action_new(name.c_str(), nullptr);
  g_simple_action_set_enabled(action, item.enabled);
  g_signal_connect_data(
      action, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
        auto* choice = static_cast<Choice*>(data);
        if (choice->alive.expired()) return;
        guarded([&] { choice->menu->chose(choice->id); });
      }),
      new Choice{alive_, &menu_, item.id},
      +[](gpointer data, GClosure*) { delete static_cast<Choice*>(data); }, GConnectFlags(0));
  if (item.shortcut) {
    if (std::string accel = accelerator(*item.shortcut); !accel.empty()) {
      hints_.emplace_back(name, std::move(accel));
    }
  }
  return webkit_context_menu_item_new_from_gaction(G_ACTION(action), label.c_str(), nullptr);
}

void ContextMenuGtk::fill(WebKitContextMenu* menu, const std::vector<PageItem>& items) {
  // Separators are tidied inside submenus as they are at the top.
  for (const auto& entry : rebuildMenu({}, items)) {
    webkit_context_menu_append(menu, entry.kind == MenuEntry::Kind::kSeparator
                                         ? webkit_context_menu_item_new_separator()
                                         : pageItem(items[entry.index]));
  }
}

void ContextMenuGtk::showHints(GtkPopoverMenu* popover) {
  GMenuModel* model = gtk_popover_menu_get_menu_model(popover);
  if (!model) return;
  g_autoptr(GMenuModel) hinted = withHints(model, hints_);
  gtk_popover_menu_set_menu_model(popover, hinted);
}

}  // namespace qs::windows
