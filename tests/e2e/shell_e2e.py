#!/usr/bin/env python3
"""The window around the page, in the real program: a window keeps its size to the pixel over
ten launches, the user agent carries the product's version, frames the page makes never leave
the app, "print" answers the page at once and ends in exactly one "afterprint" whether the user
cancels or prints to a file, and spelling is checked as the setting says."""
import json, pathlib, re, struct, subprocess, sys, time

from desktop import xdotool as xdotool_in
from harness import Program

build, source = sys.argv[1], pathlib.Path(sys.argv[2])
version = re.search(r"project\(quillstone VERSION ([0-9.]+)", (source / "CMakeLists.txt").read_text()).group(1)
app = Program(build, source, source / "tests/e2e/shell_page")
app.env["LANG"] = "en_US.UTF-8"  # the spelling dictionaries come from the locale
settings = app.work / "config/settings.json"
settings.parent.mkdir()
FRAME = "{{0, 0}, {1000, 700}}"
settings.write_text(json.dumps({"openWindows": [{"doc": "", "frame": FRAME}]}))
failures, passed = [], []


def launch(mode):
    """Starts the program; gives where its output begins."""
    (app.web / "mode.js").write_text("window.E2E_MODE = %s;" % json.dumps(mode))
    since = app.mark()
    app.start()
    return since


def finish(since, what):
    took = app.quit()
    if took is None or app.process.returncode != 0:
        failures.append("%s: the program did not end cleanly (status %s)" % (what, app.process.returncode))
    return app.page_lines(since)


def xdotool(*args):
    return xdotool_in(app.env, *args)


def print_dialog(*keys):
    """Presses `keys` in the print dialog once it is up and has found its printers."""
    ids = xdotool("search", "--sync", "--onlyvisible", "--name", "^Print$").stdout.split()
    if not ids:
        return False
    time.sleep(1.5)  # the printer list fills in the background
    xdotool("windowfocus", "--sync", ids[-1])
    xdotool("key", *keys)
    return True


def red_pixels(box):
    """How many strongly red pixels the screen shows along the foot of `box` (the page's
    coordinates of the text, give or take the window's edge and the menu bar above the page):
    misspellings are underlined in red.
    The window's controls, which may glow red, are well above it, and the page draws the text
    itself transparent, so that no coloured edge of a letter counts."""
    data = subprocess.run(["xwd", "-root", "-silent"], env=app.env, capture_output=True, timeout=20).stdout
    fields = struct.unpack(">25I", data[:100])
    header_size, width, height, byte_order, line, ncolors = (fields[0], fields[4], fields[5], fields[7],
                                                             fields[12], fields[19])
    if line != width * 4:  # 24-bit colour in 32-bit pixels, as Xvfb keeps it
        return -1
    pixels = data[header_size + 12 * ncolors:]
    left, top, right, bottom = box
    count = 0
    for y in range(max(bottom - 15, 0), min(bottom + 60, height)):
        row = pixels[y * line:y * line + width * 4]
        for x in range(left * 4, min(right + 10, width) * 4, 4):
            b, g, r = (row[x], row[x + 1], row[x + 2]) if byte_order == 0 else (row[x + 3], row[x + 2], row[x + 1])
            if r > 170 and g < 90 and b < 90:
                count += 1
    return count


def wait_for_report(prefix, since, seconds=60):
    """The first report that starts with `prefix`, waiting for it."""
    deadline = time.time() + seconds
    while time.time() < deadline and app.process.poll() is None:
        found = [l for l in app.page_lines(since) if l.startswith(prefix)]
        if found:
            return found[0]
        time.sleep(0.1)
    return None


# Launch 1 does everything; the next nine only reopen the window.
since = launch("full")
if not app.wait_for("PRINT-ANSWERED 1 30true", 60, since):
    failures.append("the page's first print was not answered while its dialog was up")
elif not print_dialog("Escape"):
    failures.append("no print dialog came up")
if app.wait_for("AFTERPRINT 1", 20, since) and app.wait_for("PRINT-ANSWERED 2 30true", 20, since):
    # Print to File, the one printer without a print server.
    if not print_dialog("Down", "space", "alt+p"):
        failures.append("no second print dialog came up")
else:
    failures.append("a cancelled print brought no afterprint")
spelling = wait_for_report("SPELLING ", since)
spelling_on = red_pixels([int(v) for v in spelling.split()[1:]]) if spelling else -1
if not app.wait_for("READY", 20, since):
    failures.append("the first launch did not finish: %s" % app.page_lines(since))
lines = finish(since, "launch 1")
prints = [l for l in lines if "PRINT" in l and not l.startswith("PRINT-ANSWERED")]
(passed if prints == ["AFTERPRINT 1", "BEFOREPRINT", "AFTERPRINT 2"] else failures).append(
    "one afterprint for a cancelled print and one for a print to a file: %s" % prints)
pdfs = [p for p in app.work.glob("*.pdf") if p.read_bytes()[:5] == b"%PDF-"]
(passed if pdfs else failures).append("the page printed to a file")
(passed if "FRAMES quillstone://app/index.html" in lines else failures).append("the page stays when it makes frames")
opened = [l for l in app.lines() if "example.invalid/frame" in l]
(passed if not opened else failures).append("no frame is opened outside the app %s" % opened)
agents = [l for l in lines if l.startswith("UA ")]
(passed if agents and agents[0].endswith(" QuillstoneLinux/" + version) else failures).append(
    "the user agent names version %s: %s" % (version, agents))
(passed if spelling_on > 20 else failures).append("misspellings are marked (%d red pixels)" % spelling_on)

sizes = [l for l in lines if l.startswith("SIZE ")]
frames = []
for n in range(2, 11):
    since = launch("size")
    if not app.wait_for("READY", 60, since):
        failures.append("launch %d did not load" % n)
    sizes += [l for l in finish(since, "launch %d" % n) if l.startswith("SIZE ")]
    frames.append(json.loads(settings.read_text())["openWindows"][0]["frame"])
(passed if len(sizes) == 10 and len(set(sizes)) == 1 and frames == [FRAME] * 9 else failures).append(
    "a window keeps its size over ten launches: %s %s" % (sorted(set(sizes)), sorted(set(frames))))

saved = json.loads(settings.read_text())
saved["WebContinuousSpellCheckingEnabled"] = False
settings.write_text(json.dumps(saved))
since = launch("spelling")
spelling = wait_for_report("SPELLING ", since)
if spelling:
    spelling_off = red_pixels([int(v) for v in spelling.split()[1:]])
    (passed if spelling_off == 0 else failures).append("with spelling off nothing is marked (%d)" % spelling_off)
else:
    failures.append("the spelling launch did not report")
finish(since, "the spelling launch")
sys.exit(app.finish(passed, failures))
