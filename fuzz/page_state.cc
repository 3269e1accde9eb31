// The page's "state" message, which the menus read for every check mark, every enabled item,
// the recent documents' titles and which keys go to the page: any shape reads, and a title
// from the page is fit for a menu.

#include "core/text.h"
#include "fuzz_target.h"
#include "menus/menu_bar.h"

using namespace qs;
using namespace qs::menus;

namespace {

struct NoCommands : AppCommands {
  void perform(AppCommand, const std::shared_ptr<MenuWindow>&) override {}
  bool claudeOn() const override { return false; }
};

struct Window : MenuWindow {
  json::object state;
  const json::object& menuState() const override { return state; }
  void run(const std::string&, const json::value&, std::function<void(bool)> then) override {
    if (then) then(false);
  }
  void pressKey(const bridge::KeyDescriptor&) override {}
  void pressPath(std::vector<std::string>) override {}
};

const MenuBar& menuBar() {
  static NoCommands commands;
  static MenuBuilder builder(commands);
  static const MenuBar bar = [] {
    MenuBar b = builder.buildMenu();
    adaptForLinux(b);
    return b;
  }();
  return bar;
}

bool fitForMenu(const std::string& title) {
  if (!text::isValidUTF8(title) || text::graphemeCount(title) > 80) return false;
  for (unsigned char c : title) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

QS_FUZZ_TARGET(page_state) {
  const auto parsed = json::parse(input);
  if (!parsed || !parsed->is_object()) return;
  auto window = std::make_shared<Window>();
  window->state = parsed->get_object();

  const MenuState state(&window->state);
  (void)state.depth();
  for (const auto& action : menuBar().actions) {
    (void)action->validate(&window->state);
    action->fire(window);
  }
  for (const auto& slot : nameRecentDocs(state)) {
    QS_FUZZ_CHECK(!slot.title.empty() && fitForMenu(slot.title),
                  "a recent document's title is fit for a menu");
  }
  for (std::string_view key : {"1", "2", "3", "k", "c", "t", "K"}) {
    for (unsigned flags = 0; flags < 16; ++flags) (void)menuHandles(key, flags, state);
  }
}
