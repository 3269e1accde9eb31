#!/usr/bin/env python3
# The end-to-end tests on Wayland: one headless weston for the whole lane, and each script in a
# D-Bus session of its own, told to run the program there (QS_E2E_SESSION=wayland, DISPLAY unset).
# Windows are found through the AT-SPI tree, since weston's headless backend has no seat: no
# pointer or keyboard to drive, no clipboard to share and no activation to grant.
#     wayland_lane.py BUILD SOURCE [SCRIPT ...]   (the whole lane when no script is named)
# Prints each script's result and time, then "N passed, M failed" (one per script).
import os, pathlib, shutil, subprocess, sys, tempfile, time

from harness import poll

# Each script, and the arguments it takes here. folder_menu_e2e and soak_e2e say why they are not
# here. The desktop's search runs on a session bus whose services are the build's own.
LANE = ("run_e2e reference_page_e2e claude_e2e auth_e2e menus_e2e import_e2e accessibility_e2e shell_e2e "
        "search_e2e quit_e2e").split()
ARGS = {"quit_e2e": ["20"]}  # twenty quits in flight here, fifty on X11
PRIVATE_BUS, PER_SCRIPT = {"search_e2e"}, 240  # seconds

build, source = str(pathlib.Path(sys.argv[1]).resolve()), str(pathlib.Path(sys.argv[2]).resolve())
lane = [s for s in LANE if not sys.argv[3:] or s in sys.argv[3:]]
runtime = pathlib.Path(tempfile.mkdtemp(prefix="qs-wayland-"))  # private: 0700
socket = runtime / "wayland-qs"
weston_log = open(runtime / "weston.log", "w")
weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--socket=" + socket.name, "--idle-time=0",
                           "--width=1400", "--height=900"], env=dict(os.environ, XDG_RUNTIME_DIR=str(runtime)),
                          stdout=weston_log, stderr=subprocess.STDOUT)
poll(lambda: socket.exists() or weston.poll() is not None, 30, 0.05)
env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "XAUTHORITY")}
# By its name in the runtime folder: WebKit's sandbox lets its web process reach only that.
env.update(QS_E2E_SESSION="wayland", XDG_RUNTIME_DIR=str(runtime), WAYLAND_DISPLAY=socket.name)

passed, failed = [], [] if socket.exists() else ["weston did not start"]
try:
    for script in lane if socket.exists() else []:
        started = time.monotonic()
        bus = ["--config-file=%s/test-dbus/session.conf" % build] if script in PRIVATE_BUS else []
        command = [sys.executable, str(pathlib.Path(__file__).resolve().parent / (script + ".py")), build, source]
        try:
            run = subprocess.run(["dbus-run-session", *bus, "--", *command, *ARGS.get(script, [])], env=env,
                                 capture_output=True, text=True, timeout=PER_SCRIPT)
            output, ok = run.stdout + run.stderr, run.returncode == 0
        except subprocess.TimeoutExpired as e:
            output, ok = (e.stdout or b"").decode(errors="replace") + "\n(timed out)", False
        (passed if ok else failed).append(script)
        print("%s %s (%.1f s)" % ("ok  " if ok else "FAIL", script, time.monotonic() - started), flush=True)
        if not ok or os.environ.get("QS_LANE_VERBOSE"):
            print(output[-6000:])
        if weston.poll() is not None:
            failed.append("weston ended during " + script)
            break
finally:
    weston.terminate()
    try:
        weston.wait(timeout=10)
    except subprocess.TimeoutExpired:
        weston.kill()
    weston_log.close()
    if failed:
        print("--- weston ---\n" + (runtime / "weston.log").read_text()[-2000:])
    shutil.rmtree(runtime, ignore_errors=True)
print("%d passed, %d failed" % (len(passed), len(failed)))
sys.exit(1 if failed else 0)
