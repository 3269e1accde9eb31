#!/usr/bin/env python3
"""Bringing writing in, end to end: the first-run offer (and its absence), a backup chosen
through the offer ending in its alert, and Markdown files handed to the program reaching one
window's page in as many script calls as their timing asks for."""
import json, pathlib, sys, time

from desktop import call_app, window_named as named, xdotool
from harness import Program

build, source = sys.argv[1], pathlib.Path(sys.argv[2])
page = source / "tests/e2e/import_page"
failures, passed = [], []


def x(*args):
    return xdotool(None, *args)


def window_named(name, seconds):
    """The X window whose title is `name`, once it shows."""
    return named(None, "^" + name + "$", seconds, visible=True)


def keys(window, *sequence):
    x("windowfocus", "--sync", window)
    time.sleep(0.3)
    for k in sequence:
        if k.startswith("type:"):
            x("type", "--delay", "20", k[5:])
        else:
            x("key", k)
        time.sleep(0.3)


def open_files(app, *paths):
    """Files handed to the running program, as the file manager hands them (GApplication's Open)."""
    uris = "[" + ",".join("'file://%s'" % p for p in paths) + "]"
    r = call_app(app.env, "org.freedesktop.Application.Open", uris, "{}")
    if r.returncode:
        print("gdbus: " + r.stderr)


def imports(app):
    return [l for l in app.page_lines() if l.startswith("IMPORT ")]


# 1. With QUILLSTONE_NO_WELCOME set (the harness sets it), a first launch offers nothing.
quiet = Program(build, source, page)
quiet.start()
if not quiet.wait_for("LOADING", 60):
    failures.append("the page did not load (status %s)" % quiet.process.poll())
elif window_named("Bring your writing to this computer", 4):
    failures.append("the offer showed although QUILLSTONE_NO_WELCOME was set")
else:
    passed.append("no offer with QUILLSTONE_NO_WELCOME")

# 2. Three Markdown files at launch: one new window, one script call after its page loads,
# the library view asked for first.
    notes = quiet.work / "notes"
    notes.mkdir()
    for name in ("a.md", "b.md", "C.MD", "d.md", "e.md", "f.md", "g.md"):
        (notes / name).write_text("# " + name)
    quiet.quit()
    quiet.log.truncate(0)
    quiet.log.seek(0)
    quiet.start(*(str(notes / n) for n in ("a.md", "b.md", "C.MD")))
    if not quiet.wait_for("IMPORT 1 a.md:text/markdown:# a.md,b.md:text/markdown:# b.md,C.MD:text/markdown:# C.MD", 60):
        failures.append("three files at launch did not arrive together: %r" % imports(quiet))
    else:
        lines = quiet.page_lines()
        if lines.index("RUN library") > lines.index(imports(quiet)[0]):
            failures.append("the library view was not asked for before the files")
        passed.append("three files at launch in one call")
    # 3. Two files 0.2 s apart: one call; 0.5 s apart: two calls.
    open_files(quiet, notes / "d.md")
    time.sleep(0.2)
    open_files(quiet, notes / "e.md")
    time.sleep(1.5)
    open_files(quiet, notes / "f.md")
    time.sleep(0.5)
    open_files(quiet, notes / "g.md")
    time.sleep(2)
    got = [l.split(" ", 2)[2] for l in imports(quiet)]
    want = ["a.md:text/markdown:# a.md,b.md:text/markdown:# b.md,C.MD:text/markdown:# C.MD",
            "d.md:text/markdown:# d.md,e.md:text/markdown:# e.md",
            "f.md:text/markdown:# f.md", "g.md:text/markdown:# g.md"]
    if got != want:
        failures.append("files 0.2 s and 0.5 s apart: %r" % got)
    else:
        passed.append("files 0.2 s apart in one call, 0.5 s apart in two")
quiet.quit()

# 4. A first launch without it: the offer, then a backup chosen through it, then the alert.
first = Program(build, source, page)
del first.env["QUILLSTONE_NO_WELCOME"]
backup = first.work / "home/Downloads/Quillstone backup 2026-12-06.json"
backup.parent.mkdir(parents=True)
backup.write_text(json.dumps({"format": "quillstone/backup", "version": 1, "schema": 3, "docs": [
    {"id": "imported-1", "title": "From the web", "updated": 5, "nodes": []},
    {"id": "imported-2", "title": "Also from the web", "updated": 5, "nodes": []}]}))
first.start()
offer = window_named("Bring your writing to this computer", 30)
if not offer:
    failures.append("no first-run offer")
else:
    passed.append("the first-run offer")
    keys(offer, "Return")  # "Choose Backup…", the default
    chooser = window_named("Choose a Quillstone backup \\(Quillstone backup YYYY-MM-DD.json\\)", 15)
    if not chooser:
        failures.append("no file chooser after Choose Backup…")
    else:
        keys(chooser, "ctrl+l", "type:" + str(backup), "Return")
        if not window_named("2 documents brought in", 30):
            failures.append("no alert saying 2 documents brought in")
        elif not all((first.work / "Writing" / (t + ".quillstone")).exists()
                     for t in ("From the web", "Also from the web")):
            failures.append("the backup's documents are not in the writing folder")
        else:
            passed.append("a backup chosen through the offer, and its alert")
first.quit()
sys.exit(first.finish(passed, failures))
