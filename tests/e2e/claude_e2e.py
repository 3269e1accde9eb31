#!/usr/bin/env python3
"""Claude replies end to end: a real window asks, reply files arrive in the inbox, and the page's
answers (taken, refused, not ready) decide what becomes of them. A reply that arrives when no
window is open stays where it is."""
import json, pathlib, sys, time

from harness import Program

build, source = sys.argv[1], pathlib.Path(sys.argv[2])
app = Program(build, source, source / "tests/e2e/claude_page")
(app.work / "config").mkdir()
(app.work / "config/settings.json").write_text(json.dumps({"claudeOnMac": True}))
app.start()
failures, passed = [], []
claude = app.work / "Writing/.quillstone/claude"
ids = {
    "take": "r-11111111-1111-4111-8111-111111111111",
    "refuse": "r-22222222-2222-4222-8222-222222222222",
    "wait": "r-33333333-3333-4333-8333-333333333333",
    "closed": "r-44444444-4444-4444-8444-444444444444",
}

def reply(request_id, body):
    staged = claude / "staged.tmp"
    staged.write_text(json.dumps(body))
    staged.rename(claude / "inbox" / (request_id + ".json"))

if not app.wait_for("ASKED", 60):
    failures.append("the page did not ask (status %s)" % app.process.poll())
else:
    for name, request_id in ids.items():
        request = claude / "outbox" / (request_id + ".json")
        if not request.exists():
            failures.append("no request file for " + name)
        elif json.loads(request.read_text())["replyTo"] != str(claude / "inbox" / (request_id + ".json")):
            failures.append("the request's replyTo is wrong")
    passed.append("request files")
    (claude / "inbox" / "notes.json").write_text("{}")
    for name in ("take", "refuse", "wait"):
        reply(ids[name], {"v": 1, "requestId": ids[name], "bullets": ["A thought about " + name], "from": "Claude"})
    if not app.wait_for("CLOSING", 30):
        failures.append("the page did not get all three replies: %s" % app.page_lines())
    time.sleep(1.5)  # the window closes after settling
    if "SETTLED-ON-CLOSE" not in app.page_lines():
        failures.append("closing the window did not settle its page")
    else:
        passed.append("closing a window settles its page")
    inbox, outbox, ignored = claude / "inbox", claude / "outbox", claude / "inbox/ignored"
    checks = {
        "taken reply and request deleted": not (inbox / (ids["take"] + ".json")).exists()
        and not (outbox / (ids["take"] + ".json")).exists(),
        "refused reply moved aside and request deleted": (ignored / (ids["refuse"] + ".json")).exists()
        and not (outbox / (ids["refuse"] + ".json")).exists(),
        "waiting reply stays": (inbox / (ids["wait"] + ".json")).exists()
        and (outbox / (ids["wait"] + ".json")).exists(),
        "a file that isn't a reply is refused": (ignored / "notes.json").exists(),
    }
    log = (ignored / "log.txt").read_text() if (ignored / "log.txt").exists() else ""
    checks["reasons logged"] = ("its name isn't a request id" in log
                                and "the page didn't take it (no thought or document knows this request)" in log)
    # No window is open now: a reply waits, untouched and unlogged.
    lines_before = log.count("\n")
    reply(ids["closed"], {"v": 1, "requestId": ids["closed"], "bullets": ["Later"]})
    time.sleep(2)
    log_after = (ignored / "log.txt").read_text() if (ignored / "log.txt").exists() else ""
    checks["with no window a reply waits untouched"] = ((inbox / (ids["closed"] + ".json")).exists()
                                                        and log_after.count("\n") == lines_before)
    for name, ok in checks.items():
        (passed if ok else failures).append(name)
    got = [l for l in app.page_lines() if l.startswith("REPLY " + ids["take"])]
    if not got or '["A thought about take"] Claude' not in got[0]:
        failures.append("the page did not get the taken reply's bullets: %s" % got)
failures += [l for l in app.page_lines() if l.startswith("FAIL")]
if app.quit() is None:
    failures.append("the program did not end after SIGTERM")
sys.exit(app.finish(passed, failures))
