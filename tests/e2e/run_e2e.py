#!/usr/bin/env python3
# The native side driven by a test page: the bridge, the scheme, links, a second window that
# writes, and a quit that settles every page (one of which never answers).
import json

from harness import Checks, Program

app = Program("tests/e2e/page")
app.start()
check = Checks(app)
if check.started("DONE", 90):
    # A second launch hands a package to the running program: a second window opens on it,
    # presented with the token the launcher gave the second launch.
    app.env["XDG_ACTIVATION_TOKEN"] = "e2e-activation-1"
    app.launch_again(str(app.work / "Writing" / "From the page.quillstone"))
    del app.env["XDG_ACTIVATION_TOKEN"]
    check("the second window reports", app.wait_for("SECOND-DONE", 60))
    check("the second window is presented with the launcher's token",
          app.wait_for_line("Quillstone: presented a window with the launch's token e2e-activation-1", 10))
    check("the first window receives the second window's record", app.wait_for("PASS broadcast", 30))
output = app.lines()
check("an ftp link is refused with its log line", any("Quillstone: ignored a link to ftp" in l for l in output))
check("a page from another origin is refused",
      app.wait_for_line("Quillstone: refused a message from a frame that isn't the app's page", 20))
check("a page can't forge a log line", not any(l.strip() == "Quillstone: forged" for l in output))

# The second window's page (now the foreign one) never settles: the quit waits 3 s for it, and no
# longer (a hang fails; how long beyond is the machine's load, not the program's rule).
took = app.quit(60)
check("a page that never settles holds the quit, for a while only", took is not None and took >= 2.5, took)
check("the first page is settled before the program ends", "SETTLED" in app.page_lines())
for name, doc_id in (("From the page", "e2e-doc"), ("Settled at quit", "e2e-settled"), ("Broadcast", "e2e-broadcast")):
    package = app.work / "Writing" / (name + ".quillstone") / "document.json"
    check("the package of " + doc_id, package.exists() and json.loads(package.read_text())["doc"]["id"] == doc_id)
check("the capture is stored", (app.work / "Support/captures/cap-1.txt").exists())
check("no capture escapes its folder", not any(app.work.rglob("outside.txt")))
saved = app.settings().get("openWindows")
check("the open windows are saved at quit", saved and len(saved) == 2, saved)
check.end(quit=False)
