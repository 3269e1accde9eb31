#!/usr/bin/env python3
"""The program as a screen reader and a keyboard reach it: its AT-SPI tree holds the page (a
document named after the document's title), the menu bar, its menus' items with their keys, the
alerts and their buttons, the folder chooser, the Keyboard Shortcuts window and About, each
found by role and name, and buttons pressed through their actions. Then the keyboard alone: F10
opens the menu bar (the page never sees it), Enter takes an alert's default, Escape cancels
and closes. Runs under Debian's python3 (python3-pyatspi)."""
import json, time

import accessible as ax
from desktop import activate as activate_in, xdotool
from harness import WAYLAND
from runner import Checks, add_script, program, wait_until

TITLE = "Notes for the talk"
app = program("tests/e2e/menus_page", {"claudeOnMac": False}, accessible=True)
add_script(app, "titled.js", """
window.addEventListener("load", async () => {
  const post = (m) => window.webkit.messageHandlers.quillstoneHost.postMessage(m);
  await post({ op: "doc", id: "a11y-doc", title: %s });
  await post({ op: "log", text: "E2E TITLED" });
});
""" % json.dumps(TITLE))
app.start()
check = Checks(app)


def activate(action):
    activate_in(app.env, action)


def keys(*names):
    """Typed on X11 (weston's headless backend has no keyboard)."""
    for name in names:
        xdotool(app.env, "key", "--clearmodifiers", name)
        time.sleep(0.4)


def focused(root):
    return [ax.describe(n) for n in ax.walk(root) if "focused" in ax.states(n)]


def settings():
    return json.loads((app.work / "config/settings.json").read_text())


if check.started("TITLED", 60):
    tree = ax.application()
    keyed = {}  # a menu item's name → its description (its keys), as the menus say them
    frame = tree and ax.window(tree, "^%s$" % TITLE)
    if check("the document window is a frame named after the document", frame, tree and ax.find_all(tree)[:3]):
        check("the page is a document named after the document's title",
              ax.find(frame, "document text", "^%s$" % TITLE, 10), ax.find_all(frame, "document text"))
        bar = ax.find(frame, "menu bar")
        names = [ax.describe(n) for n in ax.find_all(bar, "menu item")] if bar else []
        check("the menu bar and its nine menus", names == ["menu item %r" % m for m in (
            "Quillstone", "File", "Edit", "View", "See", "Insert", "AI", "Window", "Help")], names)

        if not WAYLAND:  # keys: X11 only
            xdotool(app.env, "search", "--name", "^%s$" % TITLE, "windowfocus", "--sync")
            before = len(app.page_lines())
            keys("F10")
            menus = {}
            for menu in ("Quillstone", "File", "Edit", "View", "See", "Insert", "AI", "Window", "Help"):
                top = ax.find(bar, "menu item", "^%s$" % menu)
                # The menu opens as the keys arrive: its items are waited for.
                items = wait_until(lambda: [n for n in ax.find_all(top, "menu item") if n.name], 10) if top else []
                menus[menu] = len(items)
                keyed.update({n.name: n.description for n in items if n.description})
                keys("Right")
            keys("Escape")
            check("F10 opens the menu bar, the arrows walk its nine menus, every one with its items",
                  all(menus.values()) and len(menus) == 9, menus)
            expected = {"Quit Quillstone": "Ctrl+Q", "New Window": "Ctrl+Alt+N", "Keyboard Shortcuts": "Ctrl+/"}
            check("menu items say their keys", all(keyed.get(k) == v for k, v in expected.items()),
                  {k: keyed.get(k) for k in expected})
            check("the page never sees F10", "KEYDOWN f10" not in app.page_lines()[before:],
                  app.page_lines()[before:])

    def alert(action, name, seconds=10):
        activate(action)
        return ax.window(tree, name, seconds)

    # An alert, its button pressed through its action; then by the keyboard: Enter takes it.
    restore = "^No restore points yet$"
    shown = alert("show-restore-points", restore)
    ok = shown and ax.find(shown, "push button", "^OK$")
    if check("an alert, named by its message, with its OK button",
             shown and shown.getRoleName() in ("dialog", "alert") and ok, shown and ax.find_all(shown, "push button")):
        ax.press(ok)
        check("pressing OK through its action closes the alert", ax.gone(tree, restore))
    if not WAYLAND and check("the alert again", alert("show-restore-points", restore)):
        check("focus starts on its OK button", focused(ax.window(tree, restore)) == ["push button 'OK'"],
              focused(ax.window(tree, restore)))
        keys("Return")
        check("Enter takes the alert's default", ax.gone(tree, restore))

    # A question: Escape (or its Cancel) cancels; Enter takes the default, which turns it on.
    question = "Claude"
    asked = alert("claude-on-this-computer", question)
    buttons = [b.name for b in ax.find_all(asked, "push button")] if asked else []
    if check("the question names both its answers", asked and "Cancel" in buttons and len(buttons) == 2, buttons):
        if WAYLAND:
            ax.press(ax.find(asked, "push button", "^Cancel$"))
        else:
            check("focus starts on the default answer", focused(asked) == ["push button %r" % buttons[-1]],
                  focused(asked))
            keys("Escape")
        check("cancelling closes the question and changes nothing",
              ax.gone(tree, question) and settings().get("claudeOnMac") is False, settings().get("claudeOnMac"))
        if not WAYLAND and alert("claude-on-this-computer", question):
            keys("Return")
            check("Enter turns it on", wait_until(lambda: settings().get("claudeOnMac") is True, 10),
                  settings().get("claudeOnMac"))

    # The application's own windows: the Keyboard Shortcuts window and About; Escape closes them.
    for action, name, inside in (("keyboard-shortcuts", "^Keyboard Shortcuts$", ("text", "^Keyboard Shortcuts$")),
                                 ("about-quillstone", "^About Quillstone$", ("push button", "^Close$"))):
        shown = alert(action, name)
        part = shown and ax.find(shown, *inside, 5)
        if check("%s is reached, with its %s" % (name.strip("^$"), inside[0]), part,
                 shown and ax.find_all(shown, inside[0])):
            if inside[0] == "text":
                text = part.queryText().getText(0, -1)
                check("the shortcuts window lists the menus' keys", "Quit Quillstone\tCtrl+Q" in text, text[:200])
                listed = dict(l.split("\t", 1) for l in text.splitlines() if "\t" in l)
                differ = {t: (k, keyed.get(t)) for t, k in listed.items() if t in keyed and keyed[t] != k}
                if not WAYLAND:  # the menus' own keys were read with the keyboard, above
                    check("each menu item says the keys the shortcuts window lists for it", not differ, differ)
            if WAYLAND:
                ax.press(ax.find(shown, "push button", "^Close$"))
            else:
                xdotool(app.env, "search", "--name", name, "windowfocus", "--sync")
                keys("Escape")
            check("%s closes %s" % (name.strip("^$"), "by its Close button" if WAYLAND else "on Escape"),
                  wait_until(lambda: "showing" not in ax.states(shown), 10))

    # The folder chooser opens, is cancelled, and returns a folder: the one it opens on, which
    # holds the writing folder, and the move refuses it in an alert.
    chooser_name = "^Move Writing Folder$"
    chooser = alert("move-writing-folder", chooser_name, 15)
    cancel = chooser and ax.find(chooser, "push button", "^Cancel$")
    if check("the folder chooser, with its Cancel button", cancel, chooser and ax.find_all(chooser, "push button")):
        if WAYLAND:
            ax.press(cancel)
        else:
            keys("Escape")
        check("cancelling closes the chooser", ax.gone(tree, chooser_name))
        chooser = alert("move-writing-folder", chooser_name, 15)
        accept = chooser and ax.find(chooser, "push button", "^Move Here$")
        if check("the chooser's Move Here", accept):
            ax.press(accept)
            refused = ax.window(tree, "^Choose another folder$", 15)
            check("the chosen folder comes back, and its answer is an alert",
                  refused and ax.gone(tree, chooser_name, 1), [ax.describe(tree.getChildAtIndex(i)) for i in range(tree.childCount)])
            if refused:
                ax.press(ax.find(refused, "push button"))
check.end()
