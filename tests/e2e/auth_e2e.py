#!/usr/bin/env python3
# Sign-in end to end: the page's wrappers against the fake sign-in service on loopback, the session
# kept in a gnome-keyring daemon on this D-Bus session, and a stand-in browser that follows the
# start page and opens the callback link as the desktop would, through the program's own desktop
# entry. A first window closes with its sign-in under way; a second one signs in. The program is
# then started again: the session is still there, a token comes from it, and signing out ends it.
import os, subprocess, sys

from harness import SOURCE, WAYLAND, Checks, Program, ax, poll

app = Program("tests/e2e/auth_page", accessible=True)
work = app.work
check = Checks(app)
service = subprocess.Popen([str(app.build / "tests/quillstone_fake_auth"), "v-e2e", "3600"],
                           stdout=subprocess.PIPE, text=True)
port = int(service.stdout.readline().split()[1])
keyring = None


def gone(pid):
    """Whether the process has ended (a zombie counts)."""
    try:
        return open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def browser_opened(seconds):
    """The stand-in browser's process, once it has the start page; the page is told so."""
    log = work / "browser.log"
    first_line = lambda: log.read_text().split("\n")[0].split() if log.exists() else []
    poll(lambda: len(first_line()) > 2, seconds, 0.1)
    (app.web / "opened.txt").write_text("opened")
    return int(first_line()[1]) if len(first_line()) > 1 else None


try:
    # The Secret Service: a keyring of the test's own, unlocked with a fixed password. (The
    # Wayland lane's runtime folder, which holds the display, is the lane's own already.)
    if not WAYLAND:
        (work / "run").mkdir(mode=0o700)
        app.env["XDG_RUNTIME_DIR"] = str(work / "run")
    app.env.update(QUILLSTONE_AUTH_URL="http://127.0.0.1:%d/api/auth" % port,
                   QUILLSTONE_AUTH_CALLBACK="http://127.0.0.1:%d/app/auth/callback/" % port,
                   QS_E2E_BROWSER_GO=str(work / "go"), QS_E2E_BROWSER_LOG=str(work / "browser.log"))
    keyring = subprocess.Popen(["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                               env=app.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    keyring.stdin.write(b"quillstone-test")
    keyring.stdin.close()
    poll(lambda: "true" in subprocess.run(
        ["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
         "--method", "org.freedesktop.DBus.NameHasOwner", "org.freedesktop.secrets"],
        capture_output=True, text=True).stdout, 20, 0.1)

    # The desktop: quillstone: links open the program's own entry; web pages the stand-in browser.
    applications = work / "data/applications"
    applications.mkdir(parents=True)
    entry = (SOURCE / "data/app.quillstone.Quillstone.desktop").read_text()
    (applications / "app.quillstone.Quillstone.desktop").write_text(
        entry.replace("Exec=quillstone %u", 'Exec="%s" %%u' % (app.build / "quillstone")))
    (applications / "e2e-browser.desktop").write_text(
        "[Desktop Entry]\nType=Application\nName=Browser\nExec=%s \"%s\" %%u\n"
        "MimeType=x-scheme-handler/http;x-scheme-handler/https;\n" % (sys.executable, SOURCE / "tests/e2e/fake_browser.py"))
    (work / "config/mimeapps.list").write_text(
        "[Default Applications]\nx-scheme-handler/http=e2e-browser.desktop\nx-scheme-handler/https=e2e-browser.desktop\n"
        "x-scheme-handler/quillstone=app.quillstone.Quillstone.desktop\n")

    app.start()
    abandoned = browser_opened(90)
    check.started("CLOSING", 60)
    if abandoned:
        os.kill(abandoned, 15)  # that sign-in went with its window
        poll(lambda: gone(abandoned), 20, 0.1)
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
    if app.process and app.process.poll() is None:
        app.process.kill()
    service.terminate()
    if keyring:
        keyring.terminate()
        keyring.wait(timeout=10)
requests = [l.strip() for l in service.stdout.readlines() if l.startswith("REQUEST ")]
browser = (work / "browser.log").read_text() if (work / "browser.log").exists() else ""
check("the browser is sent to the start page", "http://127.0.0.1:%d/browser/start?state=s-1" % port in browser, browser)
session = "cookie=__Secure-neon-auth.session_token=sess-1"
check("the service saw the five requests, in order", requests == [
    "REQUEST POST sign-in/social cookie=",  # the window that closed
    "REQUEST POST sign-in/social cookie=", "REQUEST GET browser cookie=",
    "REQUEST GET get-session cookie=__Secure-neon-auth.session_challange=chal-1",
    "REQUEST GET get-session " + session, "REQUEST GET token " + session, "REQUEST POST sign-out " + session], requests)
check("the callback is taken", not any("ignored a sign-in callback" in l for l in app.lines()))
check.end(quit=False)
