#!/usr/bin/env python3
"""Quitting with work in flight: the program is started, its page saves without pause, and a
moment later (varied, from a fixed seed) it is told to quit, by SIGTERM or by the app's quit
action (what Ctrl+Q runs). Every run must end with status 0 (hung: not within a minute), and every
save the page was told had succeeded, its last save at settle included, must be on disk whole.
The page's saves keep the folder watch's outside-change check and the search index busy too."""
import json, random, shutil, signal, subprocess, sys, time

from desktop import activate
from runner import program

RUNS = int(sys.argv[3]) if len(sys.argv) > 3 else 50  # fewer, by hand, for a quick look
SETTLE_LIMIT = 3.0  # each page gets at most 3 s to settle
TEARDOWN = 2.0      # then the work in flight drains and the program ends
rng = random.Random(20240610)


def expected_doc(key, rev):
    doc_id = "q-%s" % key
    nodes = [{"id": "n%d" % j, "text": "%s rev %d paragraph %d %s" % (doc_id, rev, j, "words " * 40)}
             for j in range(30)]
    return {"id": doc_id, "title": "Quit %s" % key, "nodes": nodes}


def one_run(number):
    """The failures of one run."""
    app = program("tests/e2e/quit_page")
    app.env["QUILLSTONE_SPOTLIGHT"] = "1"
    app.start()
    failures = []
    if not app.wait_for("WRITING", 60):
        failures.append("the page never started saving (status %s)" % app.process.poll())
        app.quit()
        return app, failures
    time.sleep(rng.uniform(0.0, 0.6))
    how = rng.choice(["SIGTERM", "quit action"])
    started = time.time()
    if how == "SIGTERM":
        app.process.send_signal(signal.SIGTERM)
    else:
        activate(app.env, "quit-quillstone")
    try:
        status = app.process.wait(timeout=SETTLE_LIMIT + TEARDOWN + 60)
    except subprocess.TimeoutExpired:
        app.process.kill()
        app.process.wait()
        return app, ["run %d (%s): the program hung" % (number, how)]
    took = time.time() - started
    if status != 0:
        failures.append("run %d (%s): ended with status %d" % (number, how, status))
    global slowest
    slowest = max(slowest, took)  # told, not judged: the settle limit is the unit tests' to keep

    saved = {}
    for line in app.page_lines():
        if line.startswith("SAVED "):
            _, key, rev = line.split()
            saved[key] = max(saved.get(key, 0), int(rev))
    saved.setdefault("final", -1)  # the page's last save, made when it was asked to settle
    writing = app.work / "Writing"
    on_disk = {}
    for package in writing.glob("*.quillstone"):
        try:
            envelope = json.loads((package / "document.json").read_text())
            doc, rev = envelope["doc"], envelope["record"]["rev"]
            key = doc["id"][2:]
            if doc != expected_doc(key, rev):
                failures.append("run %d (%s): %s is not the document saved" % (number, how, package.name))
            on_disk[key] = rev
        except (OSError, ValueError, KeyError) as e:
            failures.append("run %d (%s): %s is not whole: %s" % (number, how, package.name, e))
    for key, rev in sorted(saved.items()):
        if key not in on_disk:
            failures.append("run %d (%s): saved document q-%s is missing" % (number, how, key))
        elif on_disk[key] < rev:
            failures.append("run %d (%s): q-%s is at rev %d, saved %d" % (number, how, key, on_disk[key], rev))
    return app, failures


failures, slowest = [], 0.0
for number in range(1, RUNS + 1):
    app, run_failures = one_run(number)
    failures += run_failures
    if run_failures and len(failures) == len(run_failures):
        print("--- output of run %d ---" % number)
        print("\n".join(l for l in app.lines() if "E2E SAVED" not in l)[-4000:])
    shutil.rmtree(app.work, ignore_errors=True)
passed = ["%d runs quit with saves in flight (slowest %.1f s)" % (RUNS, slowest)] if not failures else []
for f in failures:
    print("FAIL " + f)
print("%d passed, %d failed" % (len(passed), len(failures)))
sys.exit(1 if failures else 0)
