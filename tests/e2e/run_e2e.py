#!/usr/bin/env python3
"""The native side driven by a test page: the bridge, the scheme, links, a second window that
writes, and a quit that settles every page (one of which never answers)."""
import json, pathlib, sys

from harness import Program

build, source = sys.argv[1], pathlib.Path(sys.argv[2])
app = Program(build, source, source / "tests/e2e/page")
app.start()
failures = []

if not app.wait_for("DONE", 90):
    failures.append("the first page did not finish its checks (status %s)" % app.process.poll())
else:
    # A second launch hands a package to the running program: a second window opens on it.
    app.launch_again(str(app.work / "Writing" / "From the page.quillstone"))
    if not app.wait_for("SECOND-DONE", 60):
        failures.append("the second window did not report")
    if not app.wait_for("PASS broadcast", 30):
        failures.append("the first window never received the second window's record")

passed = [l[5:] for l in app.page_lines() if l.startswith("PASS ")]
failures += [l for l in app.page_lines() if l.startswith("FAIL ")]
output = app.lines()
if not any("Quillstone: ignored a link to ftp" in l for l in output):
    failures.append("an ftp link was not refused with its log line")
if not app.wait_for_line("Quillstone: refused a message from a frame that isn't the app's page", 20):
    failures.append("a page from another origin was not refused")
if any(l.strip() == "Quillstone: forged" for l in output):
    failures.append("a page could forge a log line")

took = app.quit()
if took is None:
    failures.append("the program did not end within 15 s of SIGTERM")
elif not 2.5 <= took <= 10:
    # The second window's page (now the foreign one) never settles: the quit waits 3 s for it, and no longer.
    failures.append("the quit took %.1f s; a page that never settles should hold it about 3 s" % took)
if "SETTLED" not in app.page_lines():
    failures.append("the first page was not settled before the program ended")

writing = app.work / "Writing"
for name, doc_id in (("From the page", "e2e-doc"), ("Settled at quit", "e2e-settled"),
                     ("Broadcast", "e2e-broadcast")):
    package = writing / (name + ".quillstone") / "document.json"
    if not package.exists():
        failures.append("no package for " + doc_id)
    elif json.loads(package.read_text())["doc"]["id"] != doc_id:
        failures.append("wrong document in " + str(package))
if not (app.work / "Support/captures/cap-1.txt").exists():
    failures.append("the capture was not stored")
if any(p.name == "outside.txt" for p in app.work.rglob("outside.txt")):
    failures.append("a capture escaped its folder")
settings = app.work / "config/settings.json"
saved = json.loads(settings.read_text()).get("openWindows") if settings.exists() else None
if not saved or len(saved) != 2:
    failures.append("the open windows were not saved at quit: %r" % (saved,))
sys.exit(app.finish(passed, failures))
