#!/usr/bin/env python3
# Bringing writing in, end to end: the first-run offer (and its absence), a backup chosen through
# the offer ending in its alert, and Markdown files handed to the program, at launch and while it
# runs, reaching one window's page. (How files close together are batched is timing: the unit
# tests of the import batch, on the manual clock.)
import json

from harness import WAYLAND, Checks, Program, ax, poll

OFFER = "^Bring your writing to this computer$"


def open_files(app, *paths):
    """Files handed to the running program, as the file manager hands them (GApplication's Open)."""
    app.call("org.freedesktop.Application.Open", "[%s]" % ",".join("'file://%s'" % p for p in paths), "{}")


def imported(call, *names):
    return "IMPORT %d " % call + ",".join("%s:text/markdown:# %s" % (n, n) for n in names)


# With QUILLSTONE_NO_WELCOME set (the harness sets it), a first launch offers nothing.
app = Program("tests/e2e/import_page")
check = Checks(app)
app.start()
if check.started("LOADING", 60):
    check("no offer with QUILLSTONE_NO_WELCOME", not app.window(OFFER, 4, visible=True))
    # Three Markdown files at launch: one new window, one script call after its page loads, the
    # library view asked for first. Then a file handed to the running program reaches the page.
    notes = app.work / "notes"
    notes.mkdir()
    for name in ("a.md", "b.md", "C.MD", "d.md"):
        (notes / name).write_text("# " + name)
    app.quit()
    since = app.mark()
    app.start(*(str(notes / n) for n in ("a.md", "b.md", "C.MD")))
    arrived = imported(1, "a.md", "b.md", "C.MD")
    got = app.page_lines(since) if app.wait_for(arrived, 60, since) else []
    if check("three files at launch arrive together, after the library view is asked for",
             "RUN library" in got and got.index("RUN library") < got.index(arrived), app.page_lines(since)):
        open_files(app, notes / "d.md")
        check("a file handed to the running program reaches the page in a call of its own",
              app.wait_for(imported(2, "d.md"), 30, since), app.page_lines(since))
app.quit()

# A first launch without it: the offer, then a backup chosen through it, then the alert.
first = check.app = Program("tests/e2e/import_page")
del first.env["QUILLSTONE_NO_WELCOME"]
backup = first.work / "home/Downloads/Quillstone backup 2026-12-06.json"
backup.parent.mkdir(parents=True)
backup.write_text(json.dumps({"format": "quillstone/backup", "version": 1, "schema": 3, "docs": [
    {"id": "imported-1", "title": "From the web", "updated": 5, "nodes": []},
    {"id": "imported-2", "title": "Also from the web", "updated": 5, "nodes": []}]}))


first.start()
offer = first.window(OFFER, 30, visible=True)
if check("the first-run offer", offer):
    ax.press_button(offer, "^Choose Backup…$") if WAYLAND else first.steps(  # the default
        ("windowfocus", "--sync", offer), 0.3, ("key", "Return"), 0.3)
    chooser = first.window("^Choose a Quillstone backup \\(Quillstone backup YYYY-MM-DD.json\\)$", 15, visible=True)
    if check("a file chooser after Choose Backup…", chooser):
        if WAYLAND:
            # With no keyboard the file can't be typed in, and GTK 4.8's file list offers no
            # selection to AT-SPI: the chooser is cancelled, and the backup handed over as the
            # file manager does.
            ax.press_button(chooser, "^Cancel$")
            check("the chooser is cancelled", poll(lambda: not ax.visible(chooser), 10))
            open_files(first, backup)
        else:
            first.steps(("windowfocus", "--sync", chooser), 0.3, ("key", "ctrl+l"), 0.3,
                        ("type", "--delay", "20", str(backup)), 0.3, ("key", "Return"), 0.3)
        check("a backup chosen through the offer, its alert, and its documents in the writing folder",
              first.window("^2 documents brought in$", 30, visible=True) and all(
                  (first.work / "Writing" / (t + ".quillstone")).exists() for t in ("From the web", "Also from the web")))
check.end()
