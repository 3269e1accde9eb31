#!/usr/bin/env python3
"""The menu bar end to end: its actions as the session bus sees them run page commands and keys in
the current window, their enabled flags and check marks follow the page's "state" messages, key
presses go to the menu bar or to the page as the routing says, and Claude on This Computer turns
off and reloads the page."""
import json, re, subprocess, time

from desktop import APP_BUS as BUS, activate as activate_in, call_app, xdotool
from harness import WAYLAND
from runner import Checks, program, wait_until

app = program("tests/e2e/menus_page", {"claudeOnMac": True})
app.start()
check = Checks(app)


def activate(action):
    activate_in(app.env, action)


def actions():
    """name -> (enabled, state or None)"""
    out = call_app(app.env, "org.gtk.Actions.DescribeAll").stdout
    found = {}
    pattern = r"'([\w-]+)': \((true|false), (?:signature )?'[^']*', (?:@av )?\[(?:<(true|false)>)?\]\)"
    for m in re.finditer(pattern, out):
        found[m.group(1)] = (m.group(2) == "true", None if m.group(3) is None else m.group(3) == "true")
    return found


def settle_on(expected, seconds=10):
    """Waits until every action named in `expected` has the (enabled, state) given; what differs."""
    def wrong():
        now = actions()
        return {k: now.get(k) for k, v in expected.items() if now.get(k) != v}
    wait_until(lambda: not wrong(), seconds, 0.3)
    return wrong()


def wait_lines(lines, seconds=10):
    return wait_until(lambda: all(l in app.page_lines() for l in lines), seconds)


def typed(combos, expected):
    """The page's lines after `combos` are typed, once they are `expected` (or 20 s have passed)."""
    before = len(app.page_lines())
    for combo in combos:
        xdotool(app.env, "key", "--clearmodifiers", combo)
        time.sleep(0.3)  # a hand's pace
    wait_until(lambda: app.page_lines()[before:] == expected, 20)
    return app.page_lines()[before:]


if check.started("READY", 60):
    menus = subprocess.run(BUS[:-1] + ["/app/quillstone/Quillstone/menus/menubar", "--method",
                                       "org.gtk.Menus.Start", "[0]"], env=app.env,
                           capture_output=True, text=True, timeout=20).stdout
    check("the menu bar is on the session bus",
          all("<'%s'>" % t in menus for t in ("Quillstone", "File", "Edit", "View", "See", "Insert", "AI",
                                            "Window", "Help")), menus[:300])
    wrong = settle_on({"undo": (False, None), "bullet-as-document": (True, None),
                       "text": (True, True), "subtext": (True, False), "about-quillstone": (True, None),
                       "import": (True, None), "import-backup-from-the-browser": (True, None),
                       "claude-on-this-computer": (True, True), "ai-for-this-document": (True, None)})
    check("before any change the first state decides", not wrong, wrong)

    activate("new-document")
    activate("as-columns")
    activate("recent-document-6")
    activate("move-up")
    activate("focus")
    activate("text-subtext")
    activate("ai-for-this-document")
    check("menu actions run their page commands and keys in the window", wait_lines([
        "RUN newDoc null", 'RUN libraryView "columns"', "RUN openRecent 6",
        'KEY {"key":"ArrowUp","code":"ArrowUp","shift":false,"alt":true,"ctrl":false,"meta":false}',
        'KEY {"key":"1","code":"Digit1","shift":false,"alt":true,"ctrl":false,"meta":true}',
        "RUN outline null", "RUN reader null", "PRESS More", "PRESS AI for this document\u2026"]),
        [l for l in app.page_lines() if l.startswith(("RUN", "KEY", "PRESS"))])

    # Keys are typed through xdotool, X11 only: on Wayland, weston's headless backend has no keyboard.
    if not WAYLAND:
        xdotool(app.env, "search", "--name", "Quillstone", "windowfocus")
        expected = ["KEYDOWN ctrl+k", "KEYDOWN ctrl+1", "KEYDOWN ctrl+z", "KEYDOWN ctrl+c"]
        got = typed(("ctrl+k", "super+ctrl+1", "ctrl+z", "ctrl+c"), expected)
        check("with no selection and no library, these keys reach the page", got == expected, got)

    activate("settings")
    wait_lines(["STATE 1"])
    wrong = settle_on({"undo": (True, None), "subtext": (True, True), "text": (True, False),
                       "as-cards": (True, True), "2-levels": (True, True),
                       "only-this-level": (True, False), "hypertext": (True, None)})
    check("enabling and check marks follow a new state", not wrong, wrong)
    if not WAYLAND:  # keys: X11 only, as above
        expected = ["RUN hypertext null", 'RUN libraryView "cards"', "RUN undo null",
                    "RUN textLarger null", "KEYDOWN ctrl+c"]
        got = typed(("ctrl+k", "super+ctrl+1", "ctrl+z", "ctrl+equal", "ctrl+c"), expected)
        check("with a selection and the library showing, the menu bar takes its keys", got == expected, got)
    activate("text-subtext")
    check("Text | Subtext goes back to the page", wait_lines(["RUN page null"]))

    activate("settings")
    wait_lines(["STATE 2"])
    wrong = settle_on({"undo": (False, None), "subtext": (True, False), "text": (True, False),
                       "as-cards": (True, False), "2-levels": (True, False),
                       "only-this-level": (False, False), "hypertext": (False, None)})
    check("a state of the wrong types leaves nothing checked or enabled", not wrong, wrong)

    # About, Keyboard Shortcuts and the restore points alert open in accessibility_e2e.
    loads = app.page_lines().count("READY")
    activate("claude-on-this-computer")
    wrong = settle_on({"claude-on-this-computer": (True, False)})
    settings = json.loads((app.work / "config/settings.json").read_text())
    check("Claude on This Computer turns off and its check mark follows",
          not wrong and settings.get("claudeOnMac") is False, (wrong, settings))
    check("turning it off reloads the page", wait_until(lambda: app.page_lines().count("READY") > loads, 15, 0.3))
check.end()
