#!/usr/bin/env python3
# The desktop's search end to end, on a private session bus whose services are the build's own: a
# result chosen while the program runs opens its document through the running program (once), and
# one chosen while it isn't running starts it by the bus with the saved windows and the document,
# no empty window. On the way, the screenshot for the software centres.
#     search_e2e.py BUILD SOURCE   (the picture goes to BUILD/screenshots/quillstone.png)
import json, os, signal, sys, time

from harness import SOURCE, WAYLAND, Checks, Program, poll, screenshot

sys.path.insert(0, str(SOURCE / "tests/search_provider"))
from gdbus import PROVIDER, call, owner_pid, set_activation_environment, strings  # noqa: E402

app = Program("web")
# Each page shown says which document it shows: in the log, and as a capture file in the support
# folder, which is seen even when the bus, not this script, started the program.
app.add_script("e2e-shown.js", """window.addEventListener("load", () => {
  const focus = window.__QUILLSTONE_FOCUS__ || "none";
  const poll = setInterval(async () => {
    if (!document.querySelector(".page-body .para")) return;
    clearInterval(poll);
    await pause(1500);  // let the page settle before the picture
    await post({ op: "putImage", id: "shown-" + focus, src: "shown" });
    await report("SHOWN " + focus);
  }, 100);
});""")
app.env["QUILLSTONE_SPOTLIGHT"] = "1"  # the index is kept although QUILLSTONE_DEBUG is set
# The picture shows the folder as a person's would be named: Documents → Quillstone.
writing = app.work / "home/Documents/Quillstone"
app.env["QUILLSTONE_ROOT"] = str(writing)
captures = app.work / "Support/captures"
docs = [json.loads((SOURCE / "examples/welcome.json").read_text())] + [
    {"id": i, "title": t, "nodes": [{"id": "n1", "text": p}]} for i, t, p in (
        ("keeper", "The lighthouse keeper", "He climbs the stairs at dusk and trims the lamp."),
        ("harbour", "Harbour evenings", "From the quay the lighthouse turns its slow beam."),
        ("walks", "Coast walks", "Three miles of cliff path, and the lighthouse at the end."))]
app.cli("write", payload=json.dumps({"docs": [{"id": d["id"], "rev": 1, "updated": 1765000000000, "doc": d} for d in docs],
                                      "meta": {"schema": 3, "order": [d["id"] for d in docs]}}))
# What the bus starts (the provider, and the program for a result) runs in the same places.
set_activation_environment({k: v for k, v in app.env.items() if k.startswith(("QUILLSTONE_", "XDG_", "WEBKIT_"))
                            or k in ("HOME", "NO_AT_BRIDGE", "GDK_BACKEND", "WAYLAND_DISPLAY")})
check = Checks(app)
activate = lambda doc_id, stamp=0: call(PROVIDER, "ActivateResult", "'%s'" % doc_id, strings(["lighthouse"]),
                                        "uint32 %d" % stamp)

app.start(str(writing / "Welcome to Quillstone.quillstone"))
if check.started("SHOWN welcome", 90):
    if not WAYLAND:  # the picture is read off the X display
        out = app.build / "screenshots/quillstone.png"
        out.parent.mkdir(exist_ok=True)
        width, height, colours = screenshot(os.environ["DISPLAY"], out)
        check("a screenshot of a drawn window (%dx%d, %s)" % (width, height, out),
              width >= 800 and height >= 500 and colours >= 8, (width, height, colours))
    activate("harbour")
    check("a chosen result opens its document in the running program", app.wait_for("SHOWN harbour", 60))
    activate("harbour", 1234)
    time.sleep(3)  # a second window would have shown by now: there is no event to wait for
    check("chosen again, its window comes forward: no second window", app.page_lines().count("SHOWN harbour") == 1)
check("the program ends after SIGTERM", app.quit() is not None)


def started_by_bus(name, ask, shows):
    """Asks the provider while the program isn't running; once the bus has started the program and
    it shows the document `shows`, ends it (as the session would): its saved windows are checked."""
    for capture in captures.glob("shown-*"):
        capture.unlink()
    ask()
    pid, shown = owner_pid("app.quillstone.Quillstone", 60), captures / ("shown-%s.txt" % shows)
    if pid is not None:
        poll(shown.exists, 90)
        time.sleep(1)
        os.kill(pid, signal.SIGTERM)
        poll(lambda: not os.path.exists("/proc/%d" % pid), 20)
    saved = pid and shown.exists() and json.loads((app.work / "config/settings.json").read_text())
    windows = sorted(w.get("doc") for w in saved.get("openWindows", [])) if saved else None
    check(name, windows == ["harbour", "walks", "welcome"], windows)


# Not running: the bus starts the program for the result, which comes back with its saved windows
# and the document, and no empty window; "launch search" starts it as its launcher does.
started_by_bus("a result starts the program with its saved windows and the document", lambda: activate("walks"), "walks")
started_by_bus("launching the search starts the program",
               lambda: call(PROVIDER, "LaunchSearch", strings(["lighthouse"]), "uint32 0"), "welcome")
check.end(quit=False)
