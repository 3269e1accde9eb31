"""Runs the real desktop program with its folders in a temporary place and reads what the page
reports through the "log" op ("Quillstone page: E2E …" lines on standard error).
The program runs on the display the script was given: X11 (DISPLAY), or Wayland inside the
Wayland lane (QS_E2E_SESSION=wayland, WAYLAND_DISPLAY; see wayland_lane.py)."""
import os, pathlib, shutil, signal, subprocess, tempfile, time

SESSION = os.environ.get("QS_E2E_SESSION", "x11")
WAYLAND = SESSION == "wayland"


def poll(value, seconds, step=0.2):
    """What `value()` gives once it is true, or when `seconds` have passed."""
    deadline = time.time() + seconds
    while True:
        got = value()
        if got or time.time() >= deadline:
            return got
        time.sleep(step)


class Program:
    def __init__(self, build, source, web, accessible=False):
        self.build = pathlib.Path(build).resolve()
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="qs-e2e-"))
        resources = self.work / "resources"
        shutil.copytree(web, resources / "web")
        shutil.copytree(pathlib.Path(source) / "host", resources / "host")
        self.web = resources / "web"
        (self.work / "home").mkdir()
        self.env = dict(os.environ,
                        QUILLSTONE_RESOURCES=str(resources), QUILLSTONE_ROOT=str(self.work / "Writing"),
                        QUILLSTONE_SUPPORT=str(self.work / "Support"),
                        QUILLSTONE_CONFIG=str(self.work / "config"), QUILLSTONE_NO_WELCOME="1",
                        QUILLSTONE_DEBUG="1", HOME=str(self.work / "home"),
                        XDG_DATA_HOME=str(self.work / "data"), XDG_CONFIG_HOME=str(self.work / "config"),
                        WEBKIT_DISABLE_DMABUF_RENDERER="1", NO_AT_BRIDGE="1")
        if WAYLAND:
            self.env.pop("DISPLAY", None)
            self.env["GDK_BACKEND"] = "wayland"
        if accessible or WAYLAND:  # on Wayland, windows are found through the AT-SPI tree
            del self.env["NO_AT_BRIDGE"]
        # The program writes its own description of the file, appending; the test reads through
        # another. Shared, a seek to read from the start would send the program's next line
        # over the oldest ones.
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

    def lines(self):
        with open(self.log_path, errors="replace") as log:
            return [l.rstrip("\n") for l in log.readlines()]

    def page_lines(self, since=0):
        """The page's reports, from the `since`-th line of output on (see mark)."""
        marker = "Quillstone page: E2E "
        return [l.split(marker, 1)[1] for l in self.lines()[since:] if marker in l]

    def mark(self):
        """Where the output stands, for reading only what a later launch reports."""
        return len(self.lines())

    def wait_for(self, text, seconds, since=0):
        """Whether the page reports `text` before `seconds` pass or the program ends."""
        poll(lambda: text in self.page_lines(since) or self.process.poll() is not None, seconds, 0.05)
        return text in self.page_lines(since)

    def wait_for_line(self, text, seconds):
        return poll(lambda: any(text in l for l in self.lines()), seconds)

    def quit(self, seconds=15):
        """SIGTERM, as a session ending sends it; gives how long the program took to end."""
        started = time.time()
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=seconds)
            except subprocess.TimeoutExpired:
                self.process.kill()
                return None
        return time.time() - started

    def finish(self, passed, failures):
        for p in passed:
            print("ok   " + p)
        for f in failures:
            print("FAIL " + f)
        if failures:
            print("--- program output ---")
            print("\n".join(self.lines()[-60:]))
        print("%d passed, %d failed" % (len(passed), len(failures)))
        shutil.rmtree(self.work, ignore_errors=True)
        return 1 if failures else 0
