#!/usr/bin/env python3
"""Sign-in end to end: the page's wrappers against the fake sign-in service on loopback, the
session kept in a gnome-keyring daemon on this D-Bus session, and a stand-in browser that
follows the start page and opens the callback link as the desktop would, through the
program's own desktop entry. The program is then started again: the session is still there,
a token comes from it, and signing out ends it."""
import os, pathlib, subprocess, sys, time

from harness import Program

build, source = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
app = Program(build, source, "/tmp/closepage")
work = app.work
failures, passed = [], []

# The fake service.
service = subprocess.Popen([str(build / "tests/quillstone_fake_auth"), "v-e2e", "3600"],
                           stdout=subprocess.PIPE, text=True)
port = int(service.stdout.readline().split()[1])
service_lines = []

# The Secret Service: a keyring of the test's own, unlocked with a fixed password.
runtime = work / "run"
runtime.mkdir(mode=0o700)
app.env.update(XDG_RUNTIME_DIR=str(runtime),
               QUILLSTONE_AUTH_URL="http://127.0.0.1:%d/api/auth" % port,
               QUILLSTONE_AUTH_CALLBACK="http://127.0.0.1:%d/app/auth/callback/" % port,
               QS_E2E_BROWSER_GO=str(work / "go"), QS_E2E_BROWSER_LOG=str(work / "browser.log"))
keyring = subprocess.Popen(["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                           env=app.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
keyring.stdin.write(b"quillstone-test")
keyring.stdin.close()
deadline = time.time() + 20
while time.time() < deadline:
    owner = subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                            "--object-path", "/org/freedesktop/DBus", "--method",
                            "org.freedesktop.DBus.NameHasOwner", "org.freedesktop.secrets"],
                           capture_output=True, text=True)
    if "true" in owner.stdout:
        break
    time.sleep(0.1)

# The desktop: quillstone: links open the program's own entry; web pages open the stand-in browser.
applications = work / "data/applications"
applications.mkdir(parents=True)
entry = (source / "data/app.quillstone.Quillstone.desktop").read_text()
(applications / "app.quillstone.Quillstone.desktop").write_text(
    entry.replace("Exec=quillstone %u", 'Exec="%s" %%u' % (build / "quillstone")))
(applications / "e2e-browser.desktop").write_text(
    "[Desktop Entry]\nType=Application\nName=Browser\nExec=%s \"%s\" %%u\n"
    "MimeType=x-scheme-handler/http;x-scheme-handler/https;\n"
    % (sys.executable, source / "tests/e2e/fake_browser.py"))
(work / "config").mkdir()
(work / "config/mimeapps.list").write_text(
    "[Default Applications]\nx-scheme-handler/http=e2e-browser.desktop\n"
    "x-scheme-handler/https=e2e-browser.desktop\n"
    "x-scheme-handler/quillstone=app.quillstone.Quillstone.desktop\n")

app.start()
deadline = time.time() + 90
while not (work / "browser.log").exists() and time.time() < deadline:
    time.sleep(0.1)
(app.web / "opened.txt").write_text("opened")
print("closing:", app.wait_for("CLOSING", 30))
time.sleep(2)
(app.web / "opened.txt").unlink()
(work / "browser.log").unlink()
app.launch_again()
deadline = time.time() + 30
while not (work / "browser.log").exists() and time.time() < deadline:
    time.sleep(0.1)
print("browser opened again:", (work / "browser.log").exists())
(app.web / "opened.txt").write_text("x")
print("second:", app.wait_for("SECOND-STARTED", 30))
time.sleep(1)
subprocess.run(["import", "-window", "root", "/tmp/shot-second.png"])
app.quit()
print("\n".join(l for l in app.lines() if "Quillstone" in l))
service.terminate(); keyring.terminate()
