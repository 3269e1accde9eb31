#!/usr/bin/env python3
"""The writing folder and the page's context menu, driven as a user would (xdotool under Xvfb):
the first start asks where the writing lives and remembers it; right-clicks show the page's items
and report a choice or a close; Move Writing Folder settles the page, moves the library, reloads
the page and the folder watch follows; the page's title strip moves the window; the next start
finds the folder without asking."""
# X11 only, not in the Wayland lane: right clicks and the title strip's drag need a pointer, which
# weston's headless backend doesn't have.
import base64, json, subprocess, time

from desktop import activate, window_named, xdotool
from runner import Checks, program, wait_until

app = program("tests/e2e/menu_page")
del app.env["QUILLSTONE_ROOT"]
documents = app.work / "home" / "Documents"
documents.mkdir(parents=True)
app.env["QUILLSTONE_SUGGEST"] = str(documents)
settings = app.work / "config" / "settings.json"
check = Checks(app)


def xdo(*args):
    xdotool(app.env, *args)


def remembered():
    if not settings.exists():
        return None
    stored = json.loads(settings.read_text()).get("writingFolder")
    return json.loads(base64.b64decode(stored))["path"] if stored else None


def focus(name):
    """Keys go to the window named `name` (X has no window manager here to give it focus)."""
    xdo("search", "--sync", "--onlyvisible", "--name", name, "windowfocus", "--sync")


def right_click(number):
    # Held a moment, as a hand does: the menu opens on the press. The page says it asked for the
    # menu; the popover then takes a moment to show, with nothing to wait on.
    before = len(app.page_lines())
    xdo("mousemove", "400", "300", "mousedown", "3")
    time.sleep(0.15)
    xdo("mouseup", "3")
    wait_until(lambda: "MENU %d" % number in app.page_lines()[before:], 30, 0.1)
    time.sleep(0.8)


app.start()
# ---- the first start asks; accepting the suggested Documents folder makes Quillstone in it
if check("a folder panel at the first start", window_named(app.env, "Where should your writing live?", 30),
         app.process.poll()):
    focus("Where should your writing live?")
    xdo("key", "Return")
    first = "LOADED Documents \u2192 Quillstone []"
    check("the first start asks and uses Documents \u2192 Quillstone", app.wait_for(first, 60),
          str(app.page_lines()))
    check("the choice is remembered", remembered() == str(documents / "Quillstone"),
          str(remembered()))

    # ---- the context menu: a choice, a stale menu, a close, and a hostile menu
    for number, (name, steps, expected) in enumerate((
            ("choosing a page item reports its id, and no close",  # "First_item", below the pointer
             [("mousemove", "460", "322"), ("click", "1")], ["MENU 0", "CHOSE 7"]),
            # The page sends nothing this time: the old items are not shown again.
            ("a menu without a fresh message shows no page items", [("key", "Escape")], ["MENU 1"]),
            ("closing without a choice reports the close once", [("key", "Escape")], ["MENU 2", "CLOSED"]),
            # The menu takes a moment to open.
            ("10,000 items nested 100 deep make a menu that opens and closes", [1, ("key", "Escape")],
             ["MENU 3", "CLOSED"]))):
        before = len(app.page_lines())
        right_click(number)
        for step in steps:
            if isinstance(step, int):
                time.sleep(step)
            else:
                xdo(*step)
            time.sleep(0.3)
        wait_until(lambda: app.page_lines()[before:] == expected, 15)
        got = app.page_lines()[before:]
        check(name, app.process.poll() is None and got == expected, got)

    # ---- Move Writing Folder
    new = app.work / "New"
    new.mkdir()
    before = len(app.page_lines())
    activate(app.env, "move-writing-folder")
    if check("Move Writing Folder shows a panel", window_named(app.env, "Move Writing Folder", 30)):
        focus("Move Writing Folder")
        xdo("type", "--delay", "20", str(new) + "/")
        time.sleep(0.5)
        xdo("key", "Return")
        check("the moved folder is remembered", wait_until(lambda: remembered() == str(new), 30, 0.3),
              remembered())
        check("the document moved", (new / "Taken along.quillstone" / "document.json").exists())
        time.sleep(1)  # the result's alert has no title to wait for
        xdo("key", "Return")
        reloaded = app.wait_for("LOADED %s \u2192 New [\"e2e-moved\"]" % app.work.name, 30)
        got = app.page_lines()[before:]
        check("the page settled first and reloaded on the new folder",
              reloaded and got.index("SETTLED") < got.index(
                  "LOADED %s \u2192 New [\"e2e-moved\"]" % app.work.name), str(got))

        # The folder watch follows the writing folder.
        subprocess.run([str(app.build / "quillstone-cli"), "--root", str(new), "--support",
                        app.env["QUILLSTONE_SUPPORT"], "write"], env=app.env, timeout=30,
                       input=json.dumps({"docs": [{"id": "e2e-outside", "rev": 1, "doc": {
                           "id": "e2e-outside", "title": "From outside", "nodes": []}}]}),
                       text=True, capture_output=True)
        check("changes in the new folder reach the page", app.wait_for('EXTERNAL ["e2e-outside"]', 20),
              str(app.page_lines()[-5:]))

        # The page's title strip moves the window while the button is held, and only then.
        def position():
            shell = xdotool(app.env, "getwindowgeometry", "--shell",
                            window_named(app.env, "^Quillstone$", 5, visible=True)).stdout
            values = dict(line.split("=", 1) for line in shell.split())
            return int(values["X"]), int(values["Y"])
        start = position()
        xdo("mousemove", "600", "60", "mousedown", "1")
        time.sleep(0.3)
        for x, y in ((650, 100), (700, 160)):
            xdo("mousemove", str(x), str(y))
            time.sleep(0.2)
        xdo("mouseup", "1")
        wait_until(lambda: position() == (start[0] + 100, start[1] + 100), 10)
        moved = position()
        xdo("mousemove", "800", "120", "click", "1")
        time.sleep(1)  # a move that must not happen: nothing to wait for
        check("dragging the page's title strip moves the window, a click in the page does not",
              moved == (start[0] + 100, start[1] + 100) and position() == moved,
              "%s %s %s" % (start, moved, position()))

check("the program ends on SIGTERM", app.quit() is not None)

# ---- the next start finds the folder without asking
if not check.failures:
    app.start()
    check("the next start uses the remembered folder without asking",
          app.wait_for("LOADED %s \u2192 New [\"e2e-moved\",\"e2e-outside\"]" % app.work.name, 60),
          app.page_lines()[-3:])
check.end()
