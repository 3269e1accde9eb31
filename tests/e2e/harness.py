# What the end-to-end scripts share: the real program run with its folders in a temporary place,
# the page's reports read off its output ("Quillstone page: E2E …" lines), checks noted as they
# pass or fail, the desktop around it (xdotool on X11, the session bus), its AT-SPI tree (`ax`)
# and the display's pixels. The program runs on the display the script was given: X11 (DISPLAY),
# or Wayland in the Wayland lane (QS_E2E_SESSION=wayland; see wayland_lane.py).
#     SCRIPT BUILD SOURCE [ARGS…]
import json, os, pathlib, re, shutil, signal, struct, subprocess, sys, tempfile, time, zlib

WAYLAND = os.environ.get("QS_E2E_SESSION") == "wayland"
BUILD, SOURCE = (pathlib.Path(a).resolve() for a in (sys.argv + [".", "."])[1:3])
APP_BUS = ["gdbus", "call", "--session", "--dest", "app.quillstone.Quillstone",
           "--object-path", "/app/quillstone/Quillstone"]
PAGE_MARK = "Quillstone page: E2E "


def focus(name):
    """The xdotool action that focuses the last shown window whose title matches `name`."""
    return ("search", "--sync", "--onlyvisible", "--name", name, "windowfocus", "--sync")


def poll(value, seconds, step=0.2):
    """What `value()` gives once it is true, or when `seconds` have passed."""
    deadline = time.monotonic() + seconds
    while True:
        got = value()
        if got or time.monotonic() >= deadline:
            return got
        time.sleep(step)


class Program:
    """The program on `page` (a folder below the source), its settings file holding `settings`;
    `accessible`: its AT-SPI tree is kept (always on Wayland, where windows are found in it)."""

    def __init__(self, page, settings=None, accessible=False):
        self.build, self.work = BUILD, pathlib.Path(tempfile.mkdtemp(prefix="qs-e2e-"))
        resources, self.settings_path = self.work / "resources", self.work / "config/settings.json"
        self.web = resources / "web"
        shutil.copytree(SOURCE / page, self.web)
        shutil.copy(SOURCE / "tests/e2e/e2e.js", self.web)  # what the test pages share
        shutil.copytree(SOURCE / "host", resources / "host")
        (self.work / "home").mkdir()
        self.settings_path.parent.mkdir()
        if settings is not None:
            self.settings_path.write_text(json.dumps(settings))
        at = lambda folder: str(self.work / folder)
        self.env = dict(os.environ, QUILLSTONE_RESOURCES=str(resources), QUILLSTONE_ROOT=at("Writing"),
                        QUILLSTONE_SUPPORT=at("Support"), QUILLSTONE_CONFIG=at("config"), QUILLSTONE_NO_WELCOME="1",
                        QUILLSTONE_DEBUG="1", HOME=at("home"), XDG_DATA_HOME=at("data"), XDG_CONFIG_HOME=at("config"),
                        WEBKIT_DISABLE_DMABUF_RENDERER="1", NO_AT_BRIDGE="1")
        if WAYLAND:
            self.env.pop("DISPLAY", None)
            self.env["GDK_BACKEND"] = "wayland"
        if accessible or WAYLAND:
            del self.env["NO_AT_BRIDGE"]
        # The program writes through its own file description, appending; the test reads through
        # another. Shared, a seek to read from the start would send its next line over older ones.
        self.log_path = self.work / "app.log"
        self.log = open(self.log_path, "a")
        self.process = None

    def start(self, *args):
        self.process = subprocess.Popen([str(self.build / "quillstone"), *args], env=self.env,
                                        stdout=self.log, stderr=subprocess.STDOUT, cwd=self.work)

    def launch_again(self, *args):
        """A second launch hands its arguments to the running program and ends."""
        subprocess.run([str(self.build / "quillstone"), *args], env=self.env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def add_script(self, name, text):
        """Adds `text` to the page, loaded after its own scripts (and e2e.js, for the product's page)."""
        (self.web / name).write_text(text)
        index = self.web / "index.html"
        html = index.read_text()
        tags = "".join('<script src="%s" defer></script>' % s for s in ("e2e.js", name) if '"%s"' % s not in html)
        index.write_text(html.replace("</body>", tags + "</body>"))

    def lines(self):
        with open(self.log_path, errors="replace") as log:
            return [l.rstrip("\n") for l in log]

    def mark(self):
        """Where the output stands, for reading only what comes after (`since`)."""
        return len(self.lines())

    def page_lines(self, since=0):
        return [l.split(PAGE_MARK, 1)[1] for l in self.lines()[since:] if PAGE_MARK in l]

    def reports(self, prefix, since=0):
        return [l for l in self.page_lines(since) if l.startswith(prefix)]

    def settings(self):
        return json.loads(self.settings_path.read_text()) if self.settings_path.exists() else {}

    def wait_for(self, text, seconds, since=0):
        """Whether the page reports `text` before `seconds` pass or the program ends."""
        poll(lambda: text in self.page_lines(since) or self.process.poll() is not None, seconds, 0.05)
        return text in self.page_lines(since)

    def wait_for_line(self, text, seconds):
        return poll(lambda: any(text in l for l in self.lines()), seconds)

    def quit(self, seconds=15):
        """SIGTERM, as a session ending sends it; gives how long the program took to end, or None."""
        started = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return None
        return time.monotonic() - started

    def cli(self, *args, payload=None):
        return subprocess.run([str(self.build / "quillstone-cli"), "--root", self.env["QUILLSTONE_ROOT"],
                               "--support", self.env["QUILLSTONE_SUPPORT"], *args], input=payload, text=True,
                              env=self.env, capture_output=True, timeout=30)

    # ---- the desktop ----
    def xdo(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=30)

    def keys(self, *names, pace=0.3):
        """Keys typed at a hand's pace (X11 only: weston's headless backend has no keyboard)."""
        self.steps(*(a for name in names for a in (("key", "--clearmodifiers", name), pace)))

    def steps(self, *actions):
        """xdotool's actions; a number is a pause, for what there is no event to wait on."""
        for action in actions:
            time.sleep(action) if isinstance(action, (int, float)) else self.xdo(*action)

    def call(self, method, *args):  # over the session bus
        return subprocess.run(APP_BUS + ["--method", method, *args], env=self.env, capture_output=True,
                              text=True, timeout=30)

    def activate(self, action):
        return self.call("org.gtk.Actions.Activate", action, "[]", "{}")

    def window(self, name, seconds, visible=False):
        """The last X window whose title matches `name` once it is there (on Wayland, in the AT-SPI tree)."""
        if WAYLAND:
            app = ax.application(seconds=seconds)
            return app and ax.window(app, name, seconds)
        ids = lambda: self.xdo("search", *(["--onlyvisible"] if visible else []), "--name", name).stdout.split()
        return poll(lambda: (ids() or [None])[-1], seconds, 0.3)


class Checks:
    """Checks noted as they pass or fail; `app`'s page's own PASS and FAIL reports count too."""

    def __init__(self, app=None):
        self.app, self.passed, self.failures = app, [], []

    def __call__(self, name, ok, detail=""):
        (self.passed if ok else self.failures).append(name if ok or detail == "" else "%s: %s" % (name, detail))
        return ok

    def started(self, text, seconds):
        """Whether the page reported `text` in time; a failure naming the program's status if not."""
        return self.app.wait_for(text, seconds) or self("the page reports " + text, False,
                                                        "status %s" % self.app.process.poll())

    def report(self):
        """Prints the result (and, on a failure, the program's last output); gives the exit status."""
        print("\n".join(["ok   " + p for p in self.passed] + ["FAIL " + f for f in self.failures]))
        if self.failures and self.app:
            print("--- program output ---\n" + "\n".join(self.app.lines()[-60:]))
        print("%d passed, %d failed" % (len(self.passed), len(self.failures)))
        if self.app:
            shutil.rmtree(self.app.work, ignore_errors=True)
        return 1 if self.failures else 0

    def end(self, quit=True):
        """Quits the program, takes in the page's PASS and FAIL reports and exits with the result."""
        if quit:
            self("the program ends after SIGTERM", self.app.quit() is not None)
        lines = self.app.page_lines()
        self.passed += [l[5:] for l in lines if l.startswith("PASS ")]
        self.failures += [l for l in lines if l.startswith("FAIL")]
        sys.exit(self.report())


class ax:
    """The program as a screen reader sees it: its AT-SPI tree, read through Debian's
    python3-pyatspi (so the scripts that use it run under /usr/bin/python3). Nodes are found by
    role and a pattern of their name; nodes that vanish as they are read count as none."""

    def application(seconds=30):
        import pyatspi
        desktop = lambda: ax.children(pyatspi.Registry.getDesktop(0))
        return poll(lambda: next((a for a in desktop() if a.name == "quillstone"), None), seconds)

    def children(node):
        try:
            return [c for c in (node.getChildAtIndex(i) for i in range(node.childCount)) if c is not None]
        except Exception:
            return []

    def describe(node):
        try:
            return "%s %r" % (node.getRoleName(), node.name)
        except Exception as e:
            return "gone (%s)" % e

    def walk(node, depth=0):
        yield node
        for child in ax.children(node) if depth < 40 else []:
            yield from ax.walk(child, depth + 1)

    def matches(node, role, name):
        try:
            return (role is None or node.getRoleName() == role) and (name is None or re.search(name, node.name or ""))
        except Exception:
            return False

    def find(root, role=None, name=None, seconds=0.0):
        return poll(lambda: next((n for n in ax.walk(root) if ax.matches(n, role, name)), None), seconds)

    def find_all(root, role=None, name=None):
        return [n for n in ax.walk(root) if ax.matches(n, role, name)]

    def window(app, name, seconds=15.0):  # any role: a frame, a dialog, a file chooser's filler

        return poll(lambda: next((c for c in ax.children(app) if ax.matches(c, None, name) and ax.visible(c)),
                                 None), seconds)

    def gone(app, name, seconds=10.0):
        return poll(lambda: ax.window(app, name, 0) is None, seconds)

    def press(node):  # its first action, as a screen reader's user does
        return node.queryAction().doAction(0)

    def press_button(window, name):  # whether it was there
        button = ax.find(window, "push button", name, 5)
        return button is not None and ax.press(button)

    def states(node):
        import pyatspi
        try:
            return {pyatspi.stateToString(s) for s in node.getState().getStates()}
        except Exception:
            return {"defunct"}

    def visible(node):
        """GTK 4.8 says "visible" of a shown window; a closed one is "defunct", or gone."""
        found = ax.states(node)
        return "visible" in found and "defunct" not in found


# ---- pixels ----
def png(width, height, rows):
    """A PNG file's bytes, of rows of red, green and blue bytes."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"".join(b"\0" + row for row in rows), 9)) + chunk(b"IEND", b""))


def screen(display):
    """The X display's pixels (xwd): (width, height, rows of red, green and blue bytes)."""
    dump = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True,
                          check=True, timeout=30).stdout
    header = struct.unpack(">25I", dump[:100])
    width, height, byte_order, bits, per_line = header[4], header[5], header[7], header[11], header[12]
    if bits not in (24, 32) or header[14:17] != (0xFF0000, 0x00FF00, 0x0000FF):
        raise RuntimeError("expected an RGB display of 24 or 32 bits a pixel")
    step, data = bits // 8, dump[header[0] + 12 * header[19]:]
    # Least significant byte first, a pixel is blue, green, red (and an unused byte).
    r, g, b = (2, 1, 0) if byte_order == 0 else (step - 3, step - 2, step - 1)
    rows = []
    for y in range(height):
        line, rgb = data[y * per_line:y * per_line + step * width], bytearray(3 * width)
        rgb[0::3], rgb[1::3], rgb[2::3] = line[r::step], line[g::step], line[b::step]
        rows.append(bytes(rgb))
    return width, height, rows


def screenshot(display, out):
    """Writes the drawn part of the screen to `out`; gives (width, height, distinct colours)."""
    width, height, rows = screen(display)
    background = rows[-1][-3:]
    drawn = [y for y, row in enumerate(rows) if row != background * width]
    if not drawn:
        raise RuntimeError("nothing is drawn on the display")
    top, bottom = drawn[0], drawn[-1] + 1
    columns = [x for x in range(width) if any(rows[y][3 * x:3 * x + 3] != background for y in range(top, bottom, 4))]
    left, right = columns[0], columns[-1] + 1
    cropped = [row[3 * left:3 * right] for row in rows[top:bottom]]
    pathlib.Path(out).write_bytes(png(right - left, bottom - top, cropped))
    return right - left, bottom - top, len({row[i:i + 3] for row in cropped[::7] for i in range(0, len(row), 21)})
