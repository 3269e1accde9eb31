#!/usr/bin/env python3
# Claude replies end to end in a real window: it asks, and replies dropped in the inbox reach its
# page with their bullets; one the page isn't ready for stays, closing the window settles its page,
# and a reply that arrives when no window is open stays where it is. (Replies taken, refused and
# unusable, and the log's reasons, under load: soak_e2e; each fate: the bridge's unit tests.)
import json, time

from harness import Checks, Program

app = Program("tests/e2e/claude_page", {"claudeOnMac": True})
app.start()
check = Checks(app)
claude = app.work / "Writing/.quillstone/claude"
ids = {"take": "r-11111111-1111-4111-8111-111111111111", "wait": "r-33333333-3333-4333-8333-333333333333",
       "closed": "r-44444444-4444-4444-8444-444444444444"}
waiting = lambda name: all((claude / f / (ids[name] + ".json")).exists() for f in ("inbox", "outbox"))


def reply(name):
    staged = claude / "staged.tmp"
    staged.write_text(json.dumps({"v": 1, "requestId": ids[name], "bullets": ["About " + name], "from": "Claude"}))
    staged.rename(claude / "inbox" / (ids[name] + ".json"))


if check.started("ASKED", 60):
    requests = [claude / "outbox" / (i + ".json") for i in ids.values()]
    check("request files name their reply", all(p.exists() and json.loads(p.read_text())["replyTo"]
                                                == str(claude / "inbox" / p.name) for p in requests))
    for name in ("take", "wait"):
        reply(name)
    check("the page got both replies and closed its window", app.wait_for("CLOSING", 30), app.page_lines())
    check("closing a window settles its page", app.wait_for("SETTLED-ON-CLOSE", 30))
    got = app.reports("REPLY " + ids["take"])
    check("the page got the reply's bullets", got and '["About take"] Claude' in got[0], got)
    check("a reply the page isn't ready for stays, and its request", waiting("wait"))
    # No window is open now: a reply waits, untouched.
    reply("closed")
    time.sleep(2)  # nothing is to happen: there is no event to wait for
    check("with no window a reply waits untouched", waiting("closed") and not (claude / "inbox/ignored").exists())
check.end()
