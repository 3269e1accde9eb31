#include "windows/context_menu.h"

#include <unicode/unistr.h>

#include <algorithm>

#include "core/text.h"

namespace qs::windows {

namespace {

struct Modifier {
  std::string_view symbol;
  bool Shortcut::*flag;
};
constexpr Modifier kModifiers[] = {
    {"\u2318", &Shortcut::command},
    {"\u2325", &Shortcut::option},
    {"\u21e7", &Shortcut::shift},
    {"\u2303", &Shortcut::control},
};

std::string cased(std::string_view key, bool upper) {
  icu::UnicodeString s = icu::UnicodeString::fromUTF8(icu::StringPiece(key.data(), key.size()));
  if (upper) {
    s.toUpper();
  } else {
    s.toLower();
  }
  std::string out;
  return s.toUTF8String(out);
}

// Control characters (C0, DEL and C1) would break a menu row in two or show as boxes.
std::string readableLabel(std::string_view label) {
  std::string out;
  out.reserve(label.size());
  for (std::size_t i = 0; i < label.size(); ++i) {
    const auto c = static_cast<unsigned char>(label[i]);
    if (c < 0x20 || c == 0x7f) {
      out.push_back(' ');
    } else if (c == 0xc2 && i + 1 < label.size() &&
               static_cast<unsigned char>(label[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(label[i + 1]) <= 0x9f) {
      out.push_back(' ');
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (text::graphemeCount(out) > kMaxLabelLength) {
    out = text::graphemePrefix(out, kMaxLabelLength - 1) + "\u2026";
  }
  return out;
}

bool isSeparator(const json::object& item) {
  return json::findString(item, "kind") == std::string_view("separator");
}

// Converts `items` at nesting `depth` (1 for the top level), spending `budget`.
std::vector<PageItem> convert(const json::array& items, std::size_t depth, std::size_t& budget) {
  std::vector<PageItem> out;
  for (const auto& value : items) {
    if (budget == 0) break;
    const json::object* item = value.if_object();
    if (!item) continue;
    if (isSeparator(*item)) {
      --budget;
      out.emplace_back().separator = true;
      continue;
    }
    auto label = json::findString(*item, "label");
    if (!label) continue;
    --budget;
    PageItem converted;
    converted.label = readableLabel(*label);
    if (const json::value* id = item->if_contains("id")) converted.id = *id;
    const json::value* enabled = item->if_contains("enabled");
    converted.enabled = !(enabled && enabled->is_bool() && !enabled->get_bool());
    const json::value* checked = item->if_contains("checked");
    converted.checked = checked && checked->is_bool() && checked->get_bool();
    if (auto hint = json::findString(*item, "hint")) converted.shortcut = parseHint(*hint);
    const json::array* children = json::findArray(*item, "items");
    if (children && !children->empty()) {
      if (depth > kMaxPageDepth) {
        converted.enabled = false;  // too deep to open: shown, but nothing to choose
      } else {
        converted.submenu = convert(*children, depth + 1, budget);
      }
    }
    out.push_back(std::move(converted));
  }
  return out;
}

}  // namespace

std::optional<Shortcut> parseHint(std::string_view hint) {
  Shortcut shortcut;
  bool any = false;
  for (bool more = true; more;) {
    more = false;
    for (const auto& m : kModifiers) {
      if (hint.starts_with(m.symbol)) {
        shortcut.*m.flag = true;
        hint.remove_prefix(m.symbol.size());
        any = more = true;
      }
    }
  }
  if (!any || !text::isValidUTF8(hint) || text::graphemeCount(hint) != 1) return std::nullopt;
  shortcut.key = cased(hint, shortcut.shift);
  return shortcut;
}

std::vector<PageItem> pageItems(const json::array& items) {
  std::size_t budget = kMaxPageItems;
  return convert(items, 1, budget);
}

std::vector<MenuEntry> rebuildMenu(const std::vector<Proposed>& proposed,
                                   const std::vector<PageItem>& page) {
  auto isSystem = [&](std::size_t i) {
    return proposed[i] != Proposed::kSeparator && proposed[i] != Proposed::kOther;
  };
  std::size_t cut = proposed.size();
  for (std::size_t i = 0; i < proposed.size(); ++i) {
    if (isSystem(i)) {
      cut = i;
      break;
    }
  }
  using Group = std::vector<MenuEntry>;
  std::vector<Group> groups(1);
  for (std::size_t i = 0; i < cut; ++i) {
    if (proposed[i] == Proposed::kSeparator) {
      groups.emplace_back();
    } else {
      groups.back().push_back({MenuEntry::Kind::kProposed, i});
    }
  }
  auto find = [&](Proposed kind) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < proposed.size(); ++i) {
      if (proposed[i] == kind) return i;
    }
    return std::nullopt;
  };
  Group& look_up = groups.emplace_back();
  if (auto i = find(Proposed::kLookUp)) look_up.push_back({MenuEntry::Kind::kProposed, *i});
  Group& edit = groups.emplace_back();
  if (auto i = find(Proposed::kCopy)) {
    // The item before Copy joins it, unless it already stands in a leading group.
    if (*i >= 1 && *i - 1 >= cut && proposed[*i - 1] == Proposed::kOther) {
      edit.push_back({MenuEntry::Kind::kProposed, *i - 1});
    }
    edit.push_back({MenuEntry::Kind::kProposed, *i});
  }
  if (auto i = find(Proposed::kPaste)) edit.push_back({MenuEntry::Kind::kProposed, *i});
  Group& page_group = groups.emplace_back();
  for (std::size_t i = 0; i < page.size(); ++i) {
    if (page[i].separator) {
      page_group.push_back({MenuEntry::Kind::kSeparator});
    } else {
      page_group.push_back({MenuEntry::Kind::kPage, i});
    }
  }

  std::vector<MenuEntry> menu;
  for (const auto& group : groups) {
    if (group.empty()) continue;
    if (!menu.empty()) menu.push_back({MenuEntry::Kind::kSeparator});
    menu.insert(menu.end(), group.begin(), group.end());
  }
  std::vector<MenuEntry> tidy;
  for (const auto& entry : menu) {
    const bool separator = entry.kind == MenuEntry::Kind::kSeparator;
    if (separator && (tidy.empty() || tidy.back().kind == MenuEntry::Kind::kSeparator)) continue;
    tidy.push_back(entry);
  }
  if (!tidy.empty() && tidy.back().kind == MenuEntry::Kind::kSeparator) tidy.pop_back();
  return tidy;
}

ContextMenu::ContextMenu(EventLoop& main, std::function<void(const std::string&)> evaluate)
    : main_(main), evaluate_(std::move(evaluate)) {}

void ContextMenu::received(json::array items, Clock::time_point at) {
  page_menu_.emplace(std::move(items), at);
}

ContextMenu::Opening ContextMenu::opening(const std::vector<Proposed>& proposed,
                                          Clock::time_point now) {
  Opening opened;
  // The page asked for this menu when its items are fresh, however many of them can be shown:
  // it hears of the close all the same.
  const bool asked = page_menu_ && now - page_menu_->second < kFreshFor;
  if (asked) opened.page = pageItems(page_menu_->first);
  page_menu_.reset();
  opened.menu = rebuildMenu(proposed, opened.page);
  page_menu_open_ = asked;
  if (asked) page_item_chosen_ = false;
  if (opened.menu.empty()) closed();
  return opened;
}

void ContextMenu::chose(const std::optional<json::value>& id) {
  page_item_chosen_ = true;
  if (!id) return;
  if (auto text = json::compactAscii(json::array{*id})) {
    evaluate_("window.QuillstoneApp?.contextMenuChoose?.(..." + *text + ")");
  }
}

void ContextMenu::closed() {
  if (!page_menu_open_) return;
  page_menu_open_ = false;
  main_.postAfter(kCloseDelay, [this, alive = std::weak_ptr<const bool>(alive_)] {
    if (alive.expired()) return;
    if (!page_item_chosen_) evaluate_("window.QuillstoneApp?.contextMenuClosed?.()");
    page_item_chosen_ = false;
  });
}

}  // namespace qs::windows
