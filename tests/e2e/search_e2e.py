#!/usr/bin/env python3
"""The desktop's search end to end, on a private session bus whose services are the build's own:
a result chosen while the program runs opens its document through the running program (once),
and one chosen while it isn't running starts it by the bus with the saved windows and the
document, no empty window. On the way, the screenshot for the software centres.
    search_e2e.py BUILD SOURCE   (the picture goes to BUILD/screenshots/quillstone.png)"""
import json, os, pathlib, signal, subprocess, sys, time

from harness import WAYLAND
from runner import SOURCE as source, Checks, add_script, program, wait_until
from screenshot import take

sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "search_provider"))
from gdbus import PROVIDER, call, owner_pid, set_activation_environment, strings

app = program("web")
# Each page shown says which document it shows: in the log, and as a capture file in the
# support folder, which is seen even when the bus, not this script, started the program.
add_script(app, "e2e-shown.js", """
window.addEventListener("load", () => {
  const post = (m) => window.webkit.messageHandlers.quillstoneHost.postMessage(m);
  const focus = window.__QUILLSTONE_FOCUS__ || "none";
  const poll = setInterval(async () => {
    if (!document.querySelector(".page-body .para")) return;
    clearInterval(poll);
    await new Promise((r) => setTimeout(r, 1500));  // let the page settle before the picture
    await post({ op: "putImage", id: "shown-" + focus, src: "shown" });
    await post({ op: "log", text: "E2E SHOWN " + focus });
  }, 100);
});
""")
app.env["QUILLSTONE_SPOTLIGHT"] = "1"  # the index is kept although QUILLSTONE_DEBUG is set
# The picture shows the folder as a person's would be named: Documents → Quillstone.
writing = app.work / "home" / "Documents" / "Quillstone"
app.env["QUILLSTONE_ROOT"] = str(writing)
captures = app.work / "Support" / "captures"

welcome = json.loads((source / "examples" / "welcome.json").read_text())
lighthouse = [("keeper", "The lighthouse keeper", "He climbs the stairs at dusk and trims the lamp."),
              ("harbour", "Harbour evenings", "From the quay the lighthouse turns its slow beam."),
              ("walks", "Coast walks", "Three miles of cliff path, and the lighthouse at the end.")]
docs = [welcome] + [{"id": i, "title": t, "nodes": [{"id": "n1", "text": p}]} for i, t, p in lighthouse]
batch = {"docs": [{"id": d["id"], "rev": 1, "updated": 1765000000000, "doc": d} for d in docs],
         "meta": {"schema": 3, "order": [d["id"] for d in docs]}}
subprocess.run([str(app.build / "quillstone-cli"), "write"], input=json.dumps(batch), text=True,
               env=app.env, check=True, stdout=subprocess.DEVNULL)
# What the bus starts (the provider, and the program for a result) runs in the same places.
set_activation_environment({k: v for k, v in app.env.items()
                            if k.startswith(("QUILLSTONE_", "XDG_", "WEBKIT_"))
                            or k in ("HOME", "NO_AT_BRIDGE", "GDK_BACKEND", "WAYLAND_DISPLAY")})
expect = Checks(app)


def shown(doc_id):
    return app.page_lines().count("SHOWN " + doc_id)


app.start(str(writing / "Welcome to Quillstone.quillstone"))
if expect.started("SHOWN welcome", 90):
    if not WAYLAND:  # the picture is read off the X display
        out = app.build / "screenshots" / "quillstone.png"
        out.parent.mkdir(exist_ok=True)
        width, height, colours = take(os.environ["DISPLAY"], str(out))
        expect("a screenshot of a drawn window (%dx%d, %s)" % (width, height, out),
               width >= 800 and height >= 500 and colours >= 8, (width, height, colours))

    call(PROVIDER, "ActivateResult", "'harbour'", strings(["lighthouse"]), "uint32 0")
    expect("a chosen result opens its document in the running program", app.wait_for("SHOWN harbour", 60))
    call(PROVIDER, "ActivateResult", "'harbour'", strings(["lighthouse"]), "uint32 1234")
    time.sleep(3)
    expect("chosen again, its window comes forward: no second window", shown("harbour") == 1, shown("harbour"))

expect("the program ends after SIGTERM", app.quit() is not None)

def started_by_bus(ask, shows, seconds=90):
    """Asks the provider while the program isn't running; once the bus has started the program
    and it shows the document `shows`, ends it (as the session would) and gives the windows it
    saved, or None."""
    for capture in captures.glob("shown-*"):
        capture.unlink()
    ask()
    pid = owner_pid("app.quillstone.Quillstone", 60)
    if pid is None:
        return None
    wait_until((captures / ("shown-%s.txt" % shows)).exists, seconds)
    time.sleep(1)
    os.kill(pid, signal.SIGTERM)
    wait_until(lambda: not os.path.exists("/proc/%d" % pid), 20)
    if not (captures / ("shown-%s.txt" % shows)).exists():
        return None
    settings = json.loads((app.work / "config" / "settings.json").read_text())
    return sorted(w.get("doc") for w in settings.get("openWindows", []))


# Not running: the bus starts the program for the result, which comes back with its saved
# windows and the document, and no empty window.
saved = started_by_bus(lambda: call(PROVIDER, "ActivateResult", "'walks'", strings(["lighthouse"]), "uint32 0"),
                       "walks")
expect("a result starts the program with its saved windows and the document", saved == ["harbour", "walks", "welcome"],
       saved)
# "Launch search" starts the program as its launcher does: the saved windows.
saved = started_by_bus(lambda: call(PROVIDER, "LaunchSearch", strings(["lighthouse"]), "uint32 0"), "welcome")
expect("launching the search starts the program", saved == ["harbour", "walks", "welcome"], saved)

expect.end(quit=False)
