#!/usr/bin/env python3
# The program as a screen reader and a keyboard reach it: its AT-SPI tree holds the page (a
# document named after the document's title), the menu bar, its menus' items with their keys, the
# alerts and their buttons, the folder chooser, the Keyboard Shortcuts window and About, each found
# by role and name, and buttons pressed through their actions. Then the keyboard alone (X11 only):
# F10 opens the menu bar (the page never sees it), Enter takes an alert's default, Escape cancels
# and closes. Runs under Debian's python3 (python3-pyatspi).
import json

from harness import WAYLAND, Checks, Program, ax, focus, poll

TITLE, MENUS = "Notes for the talk", ("Quillstone", "File", "Edit", "View", "See", "Insert", "AI", "Window", "Help")
app = Program("tests/e2e/menus_page", {"claudeOnMac": False}, accessible=True)
app.add_script("titled.js", """window.addEventListener("load", async () => {
  await post({ op: "doc", id: "a11y-doc", title: %s });
  await report("TITLED");
});""" % json.dumps(TITLE))
app.start()
check = Checks(app)
keys = lambda *names: app.keys(*names, pace=0.4)
focused = lambda root: [ax.describe(n) for n in ax.walk(root) if "focused" in ax.states(n)]
claude_on = lambda: app.settings().get("claudeOnMac")


def shown(action, name, seconds=10):
    app.activate(action)
    return ax.window(tree, name, seconds)


def close(window, button):  # on X11 by the key that stands for the button, Escape
    ax.press(ax.find(window, "push button", button)) if WAYLAND else keys("Escape")


if check.started("TITLED", 60):
    tree = ax.application()
    keyed = {}  # a menu item's name → its description (its keys), as the menus say them
    frame = tree and ax.window(tree, "^%s$" % TITLE)
    if check("the document window is a frame named after the document", frame, tree and ax.find_all(tree)[:3]):
        check("the page is a document named after the document's title",
              ax.find(frame, "document text", "^%s$" % TITLE, 10), ax.find_all(frame, "document text"))
        bar = ax.find(frame, "menu bar")
        names = [n.name for n in ax.find_all(bar, "menu item")] if bar else []
        check("the menu bar and its nine menus", names == list(MENUS), names)
        if not WAYLAND:
            before = len(app.page_lines())
            app.steps(focus("^%s$" % TITLE))
            keys("F10")
            menus = {}
            for menu in MENUS:
                top = ax.find(bar, "menu item", "^%s$" % menu)
                # The menu opens as the keys arrive: its items are waited for.
                items = poll(lambda: [n for n in ax.find_all(top, "menu item") if n.name], 10) if top else []
                menus[menu] = len(items)
                keyed.update({n.name: n.description for n in items if n.description})
                keys("Right")
            keys("Escape")
            check("F10 opens the menu bar, the arrows walk its nine menus, every one with its items",
                  all(menus.values()) and len(menus) == 9, menus)
            said = {k: keyed.get(k) for k in ("Quit Quillstone", "New Window", "Keyboard Shortcuts")}
            check("menu items say their keys", list(said.values()) == ["Ctrl+Q", "Ctrl+Alt+N", "Ctrl+/"], said)
            check("the page never sees F10", "KEYDOWN f10" not in app.page_lines()[before:], app.page_lines()[before:])

    # An alert, its button pressed through its action; then by the keyboard: Enter takes it.
    restore = "^No restore points yet$"
    alert = shown("show-restore-points", restore)
    ok = alert and ax.find(alert, "push button", "^OK$")
    if check("an alert, named by its message, with its OK button",
             alert and alert.getRoleName() in ("dialog", "alert") and ok, alert and ax.find_all(alert, "push button")):
        ax.press(ok)
        check("pressing OK through its action closes the alert", ax.gone(tree, restore))
    if not WAYLAND and check("the alert again", shown("show-restore-points", restore)):
        check("focus starts on its OK button", focused(ax.window(tree, restore)) == ["push button 'OK'"],
              focused(ax.window(tree, restore)))
        keys("Return")
        check("Enter takes the alert's default", ax.gone(tree, restore))

    # A question: Escape (or its Cancel) cancels; Enter takes the default, which turns it on.
    asked = shown("claude-on-this-computer", "Claude")
    buttons = [b.name for b in ax.find_all(asked, "push button")] if asked else []
    if check("the question names both its answers", asked and "Cancel" in buttons and len(buttons) == 2, buttons):
        if not WAYLAND:
            check("focus starts on the default answer", focused(asked) == ["push button %r" % buttons[-1]], focused(asked))
        close(asked, "^Cancel$")
        check("cancelling closes the question and changes nothing", ax.gone(tree, "Claude") and claude_on() is False,
              claude_on())
        if not WAYLAND and shown("claude-on-this-computer", "Claude"):
            keys("Return")
            check("Enter turns it on", poll(lambda: claude_on() is True, 10), claude_on())

    # The application's own windows: the Keyboard Shortcuts window and About; Escape closes them.
    for action, name, inside in (("keyboard-shortcuts", "Keyboard Shortcuts", ("text", "^Keyboard Shortcuts$")),
                                 ("about-quillstone", "About Quillstone", ("push button", "^Close$"))):
        window = shown(action, "^%s$" % name)
        part = window and ax.find(window, *inside, 5)
        if check("%s is reached, with its %s" % (name, inside[0]), part, window and ax.find_all(window, inside[0])):
            if inside[0] == "text":
                text = part.queryText().getText(0, -1)
                listed = dict(l.split("\t", 1) for l in text.splitlines() if "\t" in l)
                # The menus' own keys were read with the keyboard, above (X11 only).
                differ = {t: (k, keyed.get(t)) for t, k in listed.items() if t in keyed and keyed[t] != k}
                check("the shortcuts window lists the menus' keys (on X11, as each item says them)",
                      listed.get("Quit Quillstone") == "Ctrl+Q" and not differ, (text[:200], differ))
            if not WAYLAND:
                app.steps(focus("^%s$" % name))
            close(window, "^Close$")
            check("%s closes %s" % (name, "by its Close button" if WAYLAND else "on Escape"),
                  poll(lambda: "showing" not in ax.states(window), 10))

    # The folder chooser opens, is cancelled, and returns a folder: the one it opens on, which
    # holds the writing folder, and the move refuses it in an alert.
    chooser_name = "^Move Writing Folder$"
    chooser = shown("move-writing-folder", chooser_name, 15)
    if check("the folder chooser, with its Cancel button", chooser and ax.find(chooser, "push button", "^Cancel$"),
             chooser and ax.find_all(chooser, "push button")):
        close(chooser, "^Cancel$")
        check("cancelling closes the chooser", ax.gone(tree, chooser_name))
        chooser = shown("move-writing-folder", chooser_name, 15)
        accept = chooser and ax.find(chooser, "push button", "^Move Here$")
        if check("the chooser's Move Here", accept):
            ax.press(accept)
            refused = ax.window(tree, "^Choose another folder$", 15)
            check("the chosen folder comes back, and its answer is an alert",
                  refused and ax.gone(tree, chooser_name, 1), [ax.describe(c) for c in ax.children(tree)])
            if refused:
                ax.press(ax.find(refused, "push button"))
check.end()
