#!/usr/bin/env python3
# The menu bar end to end: its actions as the session bus sees them run page commands and keys in
# the current window, their enabled flags and check marks follow the page's "state" messages, key
# presses go to the menu bar or to the page as the routing says, and Claude on This Computer turns
# off and reloads the page. (The menu bar's menus, About, Keyboard Shortcuts and the alerts:
# accessibility_e2e.)
import re

from harness import WAYLAND, Checks, Program, poll

app = Program("tests/e2e/menus_page", {"claudeOnMac": True})
app.start()
check = Checks(app)


def actions():
    """name -> (enabled, state or None)"""
    pattern = r"'([\w-]+)': \((true|false), (?:signature )?'[^']*', (?:@av )?\[(?:<(true|false)>)?\]\)"
    return {m[1]: (m[2] == "true", None if m[3] is None else m[3] == "true")
            for m in re.finditer(pattern, app.call("org.gtk.Actions.DescribeAll").stdout)}


def settle_on(name, expected):
    """Every action named in `expected` comes to have the (enabled, state) given."""
    def wrong():
        now = actions()
        return {k: now.get(k) for k, v in expected.items() if now.get(k) != v}
    poll(lambda: not wrong(), 10, 0.3)
    return check(name, not wrong(), wrong())


has_lines = lambda lines: poll(lambda: all(l in app.page_lines() for l in lines), 10)


def typed(name, combos, expected):
    """The page's lines after `combos` are typed must be `expected` (X11 only: weston has no keyboard)."""
    if not WAYLAND:
        app.xdo("search", "--name", "Quillstone", "windowfocus")
        before = len(app.page_lines())
        app.keys(*combos)
        check(name, poll(lambda: app.page_lines()[before:] == expected, 20), app.page_lines()[before:])


if check.started("READY", 60):
    settle_on("before any change the first state decides", {
        "undo": (False, None), "bullet-as-document": (True, None), "text": (True, True), "subtext": (True, False),
        "about-quillstone": (True, None), "import": (True, None), "import-backup-from-the-browser": (True, None),
        "claude-on-this-computer": (True, True), "ai-for-this-document": (True, None)})

    for action in ("new-document", "as-columns", "recent-document-6", "move-up", "focus", "text-subtext",
                   "ai-for-this-document"):
        app.activate(action)
    check("menu actions run their page commands and keys in the window", has_lines([
        "RUN newDoc null", 'RUN libraryView "columns"', "RUN openRecent 6",
        'KEY {"key":"ArrowUp","code":"ArrowUp","shift":false,"alt":true,"ctrl":false,"meta":false}',
        'KEY {"key":"1","code":"Digit1","shift":false,"alt":true,"ctrl":false,"meta":true}',
        "RUN outline null", "RUN reader null", "PRESS More", "PRESS AI for this document\u2026"]),
        [l for l in app.page_lines() if l.startswith(("RUN", "KEY", "PRESS"))])

    typed("with no selection and no library, these keys reach the page", ("ctrl+k", "super+ctrl+1", "ctrl+z", "ctrl+c"),
          ["KEYDOWN ctrl+k", "KEYDOWN ctrl+1", "KEYDOWN ctrl+z", "KEYDOWN ctrl+c"])
    app.activate("settings")
    has_lines(["STATE 1"])
    settle_on("enabling and check marks follow a new state", {
        "undo": (True, None), "subtext": (True, True), "text": (True, False), "as-cards": (True, True),
        "2-levels": (True, True), "only-this-level": (True, False), "hypertext": (True, None)})
    typed("with a selection and the library showing, the menu bar takes its keys",
          ("ctrl+k", "super+ctrl+1", "ctrl+z", "ctrl+equal", "ctrl+c"),
          ["RUN hypertext null", 'RUN libraryView "cards"', "RUN undo null", "RUN textLarger null", "KEYDOWN ctrl+c"])
    app.activate("text-subtext")
    check("Text | Subtext goes back to the page", has_lines(["RUN page null"]))

    app.activate("settings")
    has_lines(["STATE 2"])
    settle_on("a state of the wrong types leaves nothing checked or enabled", {
        "undo": (False, None), "subtext": (True, False), "text": (True, False), "as-cards": (True, False),
        "2-levels": (True, False), "only-this-level": (False, False), "hypertext": (False, None)})

    loads = app.page_lines().count("READY")
    app.activate("claude-on-this-computer")
    if settle_on("Claude on This Computer turns off and its check mark follows", {"claude-on-this-computer": (True, False)}):
        check("its setting is saved", app.settings().get("claudeOnMac") is False)
    check("turning it off reloads the page", poll(lambda: app.page_lines().count("READY") > loads, 15, 0.3))
check.end()
