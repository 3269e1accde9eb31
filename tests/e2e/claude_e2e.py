#!/usr/bin/env python3
"""Claude replies end to end: a real window asks, reply files arrive in the inbox, and the page's
answers (taken, refused, not ready) decide what becomes of them. A reply that arrives when no
window is open stays where it is."""
import json, time

from runner import Checks, program, wait_until

app = program("tests/e2e/claude_page", {"claudeOnMac": True})
app.start()
check = Checks(app)
claude = app.work / "Writing/.quillstone/claude"
inbox, outbox, ignored = claude / "inbox", claude / "outbox", claude / "inbox/ignored"
ids = {"take": "r-11111111-1111-4111-8111-111111111111", "refuse": "r-22222222-2222-4222-8222-222222222222",
       "wait": "r-33333333-3333-4333-8333-333333333333", "closed": "r-44444444-4444-4444-8444-444444444444"}


def reply(name, bullets):
    staged = claude / "staged.tmp"
    staged.write_text(json.dumps({"v": 1, "requestId": ids[name], "bullets": bullets, "from": "Claude"}))
    staged.rename(inbox / (ids[name] + ".json"))


def there(folder, name):
    return (folder / (ids[name] + ".json")).exists()


def log_lines():
    return (ignored / "log.txt").read_text() if (ignored / "log.txt").exists() else ""


if check.started("ASKED", 60):
    check("request files name their reply", all(
        json.loads((outbox / (i + ".json")).read_text())["replyTo"] == str(inbox / (i + ".json"))
        for i in ids.values() if (outbox / (i + ".json")).exists()) and all(there(outbox, n) for n in ids))
    (inbox / "notes.json").write_text("{}")
    for name in ("take", "refuse", "wait"):
        reply(name, ["A thought about " + name])
    check("the page got all three replies", app.wait_for("CLOSING", 30), app.page_lines())
    check("closing a window settles its page", app.wait_for("SETTLED-ON-CLOSE", 30))
    check("taken reply and request deleted",
          wait_until(lambda: not there(inbox, "take") and not there(outbox, "take"), 30))
    check("refused reply moved aside and request deleted",
          wait_until(lambda: there(ignored, "refuse") and not there(outbox, "refuse"), 30))
    check("waiting reply stays", there(inbox, "wait") and there(outbox, "wait"))
    check("a file that isn't a reply is refused", wait_until((ignored / "notes.json").exists, 30))
    reasons = ("its name isn't a request id",
               "the page didn't take it (no thought or document knows this request)")
    wait_until(lambda: all(r in log_lines() for r in reasons), 30)
    log = log_lines()
    check("reasons logged", all(r in log for r in reasons), log)
    # No window is open now: a reply waits, untouched and unlogged.
    reply("closed", ["Later"])
    time.sleep(2)  # nothing is to happen: there is no event to wait for
    check("with no window a reply waits untouched", there(inbox, "closed") and log_lines() == log)
    got = [l for l in app.page_lines() if l.startswith("REPLY " + ids["take"])]
    check("the page got the taken reply's bullets", got and '["A thought about take"] Claude' in got[0], got)
check.end()
