#!/usr/bin/env python3
# The window around the page, in the real program: a window keeps its size to the pixel over ten
# launches, the user agent carries the product's version, frames the page makes never leave the
# app, "print" answers the page at once and ends in exactly one "afterprint" whether the user
# cancels or prints to a file, and spelling is checked as the setting says.
import json, re, sys

from harness import SOURCE, WAYLAND, Checks, Program, ax, poll, screen

LAUNCHES = int(sys.argv[3]) if len(sys.argv) > 3 else 10  # fewer in the Wayland lane
version = re.search(r"project\(quillstone VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text())[1]
FRAME = "{{0, 0}, {1000, 700}}"
# Its AT-SPI tree is kept: the print dialog says through it when its printers are listed.
app = Program("tests/e2e/shell_page", {"openWindows": [{"doc": "", "frame": FRAME}]}, accessible=True)
app.env["LANG"] = "en_US.UTF-8"  # the spelling dictionaries come from the locale
check = Checks(app)


def launch(mode):
    """Starts the program, its page told what to do; gives where its output begins."""
    (app.web / "mode.js").write_text("window.E2E_MODE = %s;" % json.dumps(mode))
    since = app.mark()
    app.start()
    return since


def finish(since, what):
    check(what + ": the program ends cleanly", app.quit() is not None and app.process.returncode == 0,
          app.process.returncode)
    return app.page_lines(since)


def print_dialog(*keys):
    """Presses `keys` in the print dialog once it is up and has found its printers. On Wayland,
    its Cancel (for Escape) or its Print button, through the AT-SPI tree; there the only printer,
    Print to File, is chosen already."""
    dialog = ax.window(ax.application(), "^Print$", 30)
    # The printer list fills in the background; Print to File is always among it.
    if not dialog or not ax.find(dialog, None, "^Print to File$", 30):
        return False
    if WAYLAND:
        return ax.press_button(dialog, "^Cancel$" if keys == ("Escape",) else "^Print$") and poll(
            lambda: not ax.visible(dialog), 10, 0.1)
    ids = app.xdo("search", "--sync", "--onlyvisible", "--name", "^Print$").stdout.split()
    if ids:
        app.xdo("windowfocus", "--sync", ids[-1])
        app.xdo("key", *keys)
    return bool(ids)


def spelling_marks(since):
    """How many strongly red pixels (misspellings are underlined in red) the screen shows along the
    foot of the text the page reports as misspelt, give or take the window's edge and the menu bar
    above the page; None without its report, or on Wayland (weston's headless display has no
    reader). The window's controls, which may glow red, are well above it, and the page draws the
    text itself transparent, so that no coloured edge of a letter counts."""
    found = lambda: app.reports("SPELLING ", since)
    poll(lambda: found() or app.process.poll() is not None, 60, 0.1)
    if WAYLAND or not found():
        return None
    left, top, right, bottom = (int(v) for v in found()[0].split()[1:])
    width, height, rows = screen(app.env["DISPLAY"])
    return sum(1 for y in range(max(bottom - 15, 0), min(bottom + 60, height)) for x in range(left, min(right + 10, width))
               if rows[y][3 * x] > 170 and rows[y][3 * x + 1] < 90 and rows[y][3 * x + 2] < 90)


# Launch 1 does everything; the next ones only reopen the window.
since = launch("full")
if check("the page's first print is answered while its dialog is up", app.wait_for("PRINT-ANSWERED 1 30true", 60, since)):
    check("a print dialog comes up", print_dialog("Escape"))
if check("a cancelled print brings an afterprint",
         app.wait_for("AFTERPRINT 1", 20, since) and app.wait_for("PRINT-ANSWERED 2 30true", 20, since)):
    # Print to File. On Wayland the dialog is cancelled again: with no pointer or keyboard, its
    # printer can't be chosen (GTK 4.8's printer list offers no selection to AT-SPI).
    check("a second print dialog comes up", print_dialog(*(["Escape"] if WAYLAND else ["Down", "space", "alt+p"])))
spelling_on = spelling_marks(since)
check("the first launch finishes", app.wait_for("READY", 20, since), app.page_lines(since))
lines = finish(since, "launch 1")
prints = [l for l in lines if "PRINT" in l and not l.startswith("PRINT-ANSWERED")]
check("one afterprint for a cancelled print and one for a print to a file",
      prints == ["AFTERPRINT 1"] + ([] if WAYLAND else ["BEFOREPRINT"]) + ["AFTERPRINT 2"], prints)
check("the page stays when it makes frames", "FRAMES quillstone://app/index.html" in lines)
opened = [l for l in app.lines() if "example.invalid/frame" in l]
check("no frame is opened outside the app", not opened, opened)
agents = [l for l in lines if l.startswith("UA ")]
check("the user agent names version " + version, agents and agents[0].endswith(" QuillstoneLinux/" + version), agents)
if not WAYLAND:  # printed to a file, and read off X's pixels: X11 only, as above
    check("the page printed to a file", [p for p in app.work.glob("*.pdf") if p.read_bytes()[:5] == b"%PDF-"])
    check("misspellings are marked", spelling_on is not None and spelling_on > 20, spelling_on)

sizes, frames = [l for l in lines if l.startswith("SIZE ")], []
for n in range(2, LAUNCHES + 1):
    since = launch("size")
    check("launch %d loads" % n, app.wait_for("READY", 60, since))
    sizes += [l for l in finish(since, "launch %d" % n) if l.startswith("SIZE ")]
    frames.append(app.settings()["openWindows"][0]["frame"])
check("a window keeps its size over %d launches" % LAUNCHES,
      len(sizes) == LAUNCHES and len(set(sizes)) == 1 and frames == [FRAME] * (LAUNCHES - 1),
      (sorted(set(sizes)), sorted(set(frames))))

app.settings_path.write_text(json.dumps(dict(app.settings(), WebContinuousSpellCheckingEnabled=False)))
since = launch("spelling")
spelling_off = spelling_marks(since)
if not WAYLAND:
    check("with spelling off nothing is marked", spelling_off == 0, spelling_off)
finish(since, "the spelling launch")
check.end(quit=False)
