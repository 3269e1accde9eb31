#!/usr/bin/env python3
"""Bringing writing in, end to end: the first-run offer (and its absence), a backup chosen
through the offer ending in its alert, and Markdown files handed to the program, at launch
and while it runs, reaching one window's page."""
import json, time

from desktop import call_app, press_button, window_named as named, xdotool
from harness import WAYLAND
from runner import Checks, program, wait_until

if WAYLAND:
    import accessible as ax

OFFER = "Bring your writing to this computer"


def window_named(name, seconds):
    """The X window whose title is `name`, once it shows."""
    return named(None, "^" + name + "$", seconds, visible=True)


def keys(window, *sequence):
    xdotool(None, "windowfocus", "--sync", window)
    for k in sequence:
        time.sleep(0.3)
        xdotool(None, *(["type", "--delay", "20", k[5:]] if k.startswith("type:") else ["key", k]))
    time.sleep(0.3)


def open_files(app, *paths):
    """Files handed to the running program, as the file manager hands them (GApplication's Open)."""
    r = call_app(app.env, "org.freedesktop.Application.Open", "[%s]" % ",".join("'file://%s'" % p for p in paths), "{}")
    if r.returncode:
        print("gdbus: " + r.stderr)


def imports(app):
    return [l.split(" ", 2)[2] for l in app.page_lines() if l.startswith("IMPORT ")]


def entries(*names):
    return ",".join("%s:text/markdown:# %s" % (n, n) for n in names)


# With QUILLSTONE_NO_WELCOME set (the harness sets it), a first launch offers nothing.
quiet = program("tests/e2e/import_page")
check = Checks(quiet)
quiet.start()
if check.started("LOADING", 60):
    check("no offer with QUILLSTONE_NO_WELCOME", not window_named(OFFER, 4))
    # Three Markdown files at launch: one new window, one script call after its page loads, the
    # library view asked for first. Then a file handed to the running program reaches the page.
    # (How files close together are batched is timing: ImportBatch's tests on the manual clock.)
    notes = quiet.work / "notes"
    notes.mkdir()
    for name in ("a.md", "b.md", "C.MD", "d.md"):
        (notes / name).write_text("# " + name)
    quiet.quit()
    since = quiet.mark()
    quiet.start(*(str(notes / n) for n in ("a.md", "b.md", "C.MD")))
    if check("three files at launch arrive together, after the library view is asked for",
             quiet.wait_for("IMPORT 1 " + entries("a.md", "b.md", "C.MD"), 60, since)
             and quiet.page_lines(since).index("RUN library") < quiet.page_lines(since).index(
                 "IMPORT 1 " + entries("a.md", "b.md", "C.MD")), imports(quiet)):
        open_files(quiet, notes / "d.md")
        check("a file handed to the running program reaches the page in a call of its own",
              quiet.wait_for("IMPORT 2 " + entries("d.md"), 30, since), imports(quiet))
quiet.quit()

# A first launch without it: the offer, then a backup chosen through it, then the alert.
first = check.app = program("tests/e2e/import_page")
del first.env["QUILLSTONE_NO_WELCOME"]
backup = first.work / "home/Downloads/Quillstone backup 2026-12-06.json"
backup.parent.mkdir(parents=True)
backup.write_text(json.dumps({"format": "quillstone/backup", "version": 1, "schema": 3, "docs": [
    {"id": "imported-1", "title": "From the web", "updated": 5, "nodes": []},
    {"id": "imported-2", "title": "Also from the web", "updated": 5, "nodes": []}]}))
first.start()
offer = window_named(OFFER, 30)
if check("the first-run offer", offer):
    if WAYLAND:
        press_button(offer, "^Choose Backup…$")
    else:
        keys(offer, "Return")  # "Choose Backup…", the default
    chooser = window_named("Choose a Quillstone backup \\(Quillstone backup YYYY-MM-DD.json\\)", 15)
    if check("a file chooser after Choose Backup…", chooser):
        if WAYLAND:
            # With no keyboard the file can't be typed in, and GTK 4.8's file list offers no
            # selection to AT-SPI: the chooser is cancelled, and the backup handed over as the
            # file manager does.
            press_button(chooser, "^Cancel$")
            check("the chooser is cancelled", wait_until(lambda: not ax.visible(chooser), 10))
            open_files(first, backup)
        else:
            keys(chooser, "ctrl+l", "type:" + str(backup), "Return")
        check("a backup chosen through the offer, its alert, and its documents in the writing folder",
              window_named("2 documents brought in", 30) and all(
                  (first.work / "Writing" / (t + ".quillstone")).exists() for t in ("From the web", "Also from the web")))
check.end()
