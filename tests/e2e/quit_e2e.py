#!/usr/bin/env python3
# Quitting with work in flight: the program is started, its page saves without pause, and a moment
# later (varied, from a fixed seed) it is told to quit, by SIGTERM or by the app's quit action
# (what Ctrl+Q runs). Every run must end with status 0 (hung: not within a minute), and every save
# the page was told had succeeded, its last save at settle included, must be on disk whole. The
# page's saves keep the folder watch's outside-change check and the search index busy too.
import json, random, shutil, signal, subprocess, sys, time

from harness import Checks, Program

RUNS = int(sys.argv[3]) if len(sys.argv) > 3 else 50  # fewer, by hand, for a quick look
rng = random.Random(20240610)


def expected_doc(key, rev):
    doc_id = "q-%s" % key
    return {"id": doc_id, "title": "Quit %s" % key, "nodes": [
        {"id": "n%d" % j, "text": "%s rev %d paragraph %d %s" % (doc_id, rev, j, "words " * 40)} for j in range(30)]}


def one_run(number):
    """The failures of one run, and how long the quit took."""
    app = Program("tests/e2e/quit_page")
    app.env["QUILLSTONE_SPOTLIGHT"] = "1"
    app.start()
    if not app.wait_for("WRITING", 60):
        app.quit()
        return app, ["run %d: the page never started saving (status %s)" % (number, app.process.poll())], 0
    time.sleep(rng.uniform(0.0, 0.6))
    signalled = rng.choice(["SIGTERM", "quit action"])
    how, started = "run %d (%s)" % (number, signalled), time.monotonic()
    app.process.send_signal(signal.SIGTERM) if signalled == "SIGTERM" else app.activate("quit-quillstone")
    try:
        status = app.process.wait(timeout=65)  # 3 s for the pages to settle, 2 to drain, and a margin
    except subprocess.TimeoutExpired:
        app.process.kill()
        app.process.wait()
        return app, ["%s: the program hung" % how], 0
    failures = [] if status == 0 else ["%s: ended with status %d" % (how, status)]
    saved = {"final": -1}  # the page's last save, made when it was asked to settle
    for _, key, rev in (l.split() for l in app.reports("SAVED ")):
        saved[key] = max(saved.get(key, 0), int(rev))
    on_disk = {}
    for package in (app.work / "Writing").glob("*.quillstone"):
        try:
            envelope = json.loads((package / "document.json").read_text())
            doc, on_disk[envelope["doc"]["id"][2:]] = envelope["doc"], envelope["record"]["rev"]
            if doc != expected_doc(doc["id"][2:], envelope["record"]["rev"]):
                failures.append("%s: %s is not the document saved" % (how, package.name))
        except (OSError, ValueError, KeyError) as e:
            failures.append("%s: %s is not whole: %s" % (how, package.name, e))
    failures += ["%s: saved document q-%s is %s" % (how, key, "at rev %s, saved %d" % (on_disk[key], rev)
                                                     if key in on_disk else "missing")
                 for key, rev in sorted(saved.items()) if on_disk.get(key, -2) < rev]
    return app, failures, time.monotonic() - started


check, slowest = Checks(), 0.0
for number in range(1, RUNS + 1):
    app, failures, took = one_run(number)
    slowest = max(slowest, took)  # told, not judged: the settle limit is the unit tests' to keep
    if failures and not check.failures:
        print("--- output of run %d ---\n%s" % (number, "\n".join(l for l in app.lines() if "E2E SAVED" not in l)[-4000:]))
    check.failures += failures
    shutil.rmtree(app.work, ignore_errors=True)
check("%d runs quit with saves in flight (slowest %.1f s)" % (RUNS, slowest), not check.failures)
sys.exit(check.report())
