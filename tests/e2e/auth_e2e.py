#!/usr/bin/env python3
"""Sign-in end to end: the page's wrappers against the fake sign-in service on loopback, the
session kept in a gnome-keyring daemon on this D-Bus session, and a stand-in browser that
follows the start page and opens the callback link as the desktop would, through the
program's own desktop entry. A first window closes with its sign-in under way; a second one
signs in. The program is then started again: the session is still there, a token comes from
it, and signing out ends it."""
import os, subprocess, sys, time

import accessible as ax
from harness import WAYLAND
from runner import SOURCE as source, Checks, program, wait_until

app = program("tests/e2e/auth_page", accessible=True)
build, work = app.build, app.work
check = Checks(app)

# The fake service.
service = subprocess.Popen([str(build / "tests/quillstone_fake_auth"), "v-e2e", "3600"],
                           stdout=subprocess.PIPE, text=True)
port = int(service.stdout.readline().split()[1])
keyring = None


def stop_services():
    if app.process and app.process.poll() is None:
        app.process.kill()
    service.terminate()
    if keyring:
        keyring.terminate()
        keyring.wait(timeout=10)


try:
    # The Secret Service: a keyring of the test's own, unlocked with a fixed password. (The
    # Wayland lane's runtime folder, which holds the display, is the lane's own already.)
    if not WAYLAND:
        runtime = work / "run"
        runtime.mkdir(mode=0o700)
        app.env["XDG_RUNTIME_DIR"] = str(runtime)
    app.env.update(QUILLSTONE_AUTH_URL="http://127.0.0.1:%d/api/auth" % port,
                   QUILLSTONE_AUTH_CALLBACK="http://127.0.0.1:%d/app/auth/callback/" % port,
                   QS_E2E_BROWSER_GO=str(work / "go"), QS_E2E_BROWSER_LOG=str(work / "browser.log"))
    keyring = subprocess.Popen(["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                               env=app.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    keyring.stdin.write(b"quillstone-test")
    keyring.stdin.close()
    wait_until(lambda: "true" in subprocess.run(
        ["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
         "--method", "org.freedesktop.DBus.NameHasOwner", "org.freedesktop.secrets"],
        capture_output=True, text=True).stdout, 20, 0.1)

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

    def gone(pid):
        """Whether the process has ended (a zombie counts)."""
        try:
            return open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] == "Z"
        except OSError:
            return True

    def browser_opened(seconds):
        """The stand-in browser's process, once it has the start page."""
        def opened():
            log = work / "browser.log"
            return log.read_text().split("\n")[0].split() if log.exists() else []
        wait_until(lambda: len(opened()) > 2, seconds, 0.1)  # its whole first line
        opened = opened()
        (app.web / "opened.txt").write_text("opened")
        return int(opened[1]) if len(opened) > 1 else None

    app.start()
    abandoned = browser_opened(90)
    check.started("CLOSING", 60)
    if abandoned:
        os.kill(abandoned, 15)  # that sign-in went with its window
        wait_until(lambda: gone(abandoned), 20, 0.1)
    (app.web / "opened.txt").unlink()
    (work / "browser.log").unlink()
    app.launch_again()
    browser_opened(90)
    check.started("WAITING", 90)
    # What a screen reader finds meanwhile: the dialog, named, with its one answer.
    waiting = ax.window(ax.application(), "^Continue in your browser$", 15)
    check("the sign-in dialog is reached by its name, with its Cancel button",
          waiting and waiting.getRoleName() == "dialog" and ax.find(waiting, "push button", "^Cancel$"),
          waiting and ax.find_all(waiting, "push button"))
    (work / "go").touch()
    check("the sign-in comes back from the browser", app.wait_for("SIGNED-IN", 60))
    check("the program ends after signing in", app.quit() is not None)
    app.start()
    check.started("SIGNED-OUT", 90)
    app.quit()
finally:
    stop_services()
service_lines = [l.strip() for l in service.stdout.readlines() if l.startswith("REQUEST ")]

browser = (work / "browser.log").read_text() if (work / "browser.log").exists() else ""
check("the browser is sent to the start page", "http://127.0.0.1:%d/browser/start?state=s-1" % port in browser, browser)
expected = [
    "REQUEST POST sign-in/social cookie=",  # the window that closed
    "REQUEST POST sign-in/social cookie=",
    "REQUEST GET browser cookie=",
    "REQUEST GET get-session cookie=__Secure-neon-auth.session_challange=chal-1",
    "REQUEST GET get-session cookie=__Secure-neon-auth.session_token=sess-1",
    "REQUEST GET token cookie=__Secure-neon-auth.session_token=sess-1",
    "REQUEST POST sign-out cookie=__Secure-neon-auth.session_token=sess-1",
]
check("the service saw the five requests, in order", service_lines == expected, service_lines)
check("the callback is taken", not any("ignored a sign-in callback" in l for l in app.lines()))
check.end(quit=False)
