// The page's "contextMenu" message: the items it asks for become a menu that stays usable
// whatever they are, and choosing one hands its id back to the page as a script that says
// exactly that id. The web view's own proposed items come from the input's bytes too.

#include "windows/context_menu.h"

#include "core/event_loop.h"
#include "core/text.h"
#include "fuzz_target.h"

using namespace qs;
using namespace qs::windows;

namespace {

constexpr std::string_view kChoose = "window.QuillstoneApp?.contextMenuChoose?.(...";
constexpr std::string_view kClosed = "window.QuillstoneApp?.contextMenuClosed?.()";

struct Walk {
  std::size_t items = 0;
  std::vector<const PageItem*> chosen;
};

void walk(const std::vector<PageItem>& items, std::size_t depth, Walk& into) {
  for (const auto& item : items) {
    QS_FUZZ_CHECK(depth <= kMaxPageDepth + 1, "submenus go at most five levels deep");
    ++into.items;
    if (item.separator) continue;
    QS_FUZZ_CHECK(
        text::isValidUTF8(item.label) && text::graphemeCount(item.label) <= kMaxLabelLength,
        "a label is text of at most 80 characters");
    for (unsigned char c : item.label) {
      QS_FUZZ_CHECK(c >= 0x20 && c != 0x7f, "a label holds no control characters");
    }
    if (item.shortcut) {
      QS_FUZZ_CHECK(text::graphemeCount(item.shortcut->key) == 1, "a shortcut has one key");
    }
    if (item.id) into.chosen.push_back(&item);
    walk(item.submenu, depth + 1, into);
  }
}

}  // namespace

QS_FUZZ_TARGET(context_menu) {
  const auto split = fuzz::pieces(input, 2);
  const auto parsed = json::parse(split[0]);
  if (!parsed) return;
  json::array items;
  if (const json::object* message = parsed->if_object()) {
    if (const json::array* given = json::findArray(*message, "items")) items = *given;
  } else if (const json::array* given = parsed->if_array()) {
    items = *given;
  }
  std::vector<Proposed> proposed;
  for (unsigned char c : split[1].substr(0, 64)) proposed.push_back(static_cast<Proposed>(c % 6));

  ManualEventLoop loop;
  std::vector<std::string> scripts;
  ContextMenu menu(loop, [&](const std::string& script) { scripts.push_back(script); });
  const auto now = ContextMenu::Clock::now();
  menu.received(items, now);
  const auto opened = menu.opening(proposed, now);
  const std::vector<PageItem>& shown = opened.page;

  Walk seen;
  walk(shown, 1, seen);
  QS_FUZZ_CHECK(seen.items <= kMaxPageItems, "a menu shows at most 100 items");

  const auto& entries = opened.menu;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const bool separator = entries[i].kind == MenuEntry::Kind::kSeparator;
    QS_FUZZ_CHECK(!separator || (i > 0 && i + 1 < entries.size() &&
                                 entries[i - 1].kind != MenuEntry::Kind::kSeparator),
                  "no separator first, last or twice in a row");
    if (entries[i].kind == MenuEntry::Kind::kProposed) {
      QS_FUZZ_CHECK(entries[i].index < proposed.size(), "a proposed entry is one proposed");
    } else if (entries[i].kind == MenuEntry::Kind::kPage) {
      QS_FUZZ_CHECK(entries[i].index < shown.size(), "a page entry is one of the page's");
    }
  }

  for (const PageItem* item : seen.chosen) {
    scripts.clear();
    menu.chose(item->id);
    QS_FUZZ_CHECK(scripts.size() == 1, "a choice is told once");
    const std::string& script = scripts.front();
    for (unsigned char c : script)
      QS_FUZZ_CHECK(c < 0x80 && c >= 0x20, "the script is plain ASCII");
    QS_FUZZ_CHECK(script.starts_with(kChoose) && script.ends_with(")"),
                  "the script only calls the page's entry point");
    const auto argument = json::parse(
        std::string_view(script).substr(kChoose.size(), script.size() - kChoose.size() - 1));
    QS_FUZZ_CHECK(argument && argument->is_array() && argument->get_array().size() == 1 &&
                      fuzz::sameJSON(argument->get_array()[0], *item->id),
                  "the script hands back the item's id, and nothing else");
  }
  scripts.clear();
  menu.closed();
  loop.advance(ContextMenu::kCloseDelay);
  // The page asked for this menu: whatever could be shown of it, a close without a choice is
  // told.
  QS_FUZZ_CHECK(scripts == (seen.chosen.empty() ? std::vector<std::string>{std::string(kClosed)}
                                                : std::vector<std::string>{}),
                "a menu closed without a choice is told, once");
}
