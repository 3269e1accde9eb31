# Two Syncthing instances on loopback that share folders with each other and nothing else: no
# discovery, relays, NAT, usage or crash reports, upgrades or file watching. Folders are scanned
# only when asked, so what each side sees depends on the test's steps, not on timing; the test
# waits by polling the REST API (the events call blocks until something happens).
import copy, ctypes, json, os, pathlib, shutil, signal, socket, subprocess, time, urllib.error
import urllib.parse, urllib.request
import xml.etree.ElementTree as ET

BINARY = shutil.which("syncthing")
OPTIONS = {"globalAnnounceEnabled": "false", "localAnnounceEnabled": "false", "relaysEnabled": "false",
           "natEnabled": "false", "startBrowser": "false", "urAccepted": "-1", "urSeen": "3",
           "autoUpgradeIntervalH": "0", "crashReportingEnabled": "false", "reconnectionIntervalS": "1",
           "restartOnWakeup": "false", "setLowPriority": "false"}
UNREACHABLE = (OSError, urllib.error.URLError, ValueError)
_handed_out = set()


def ends_with_parent():  # Popen's preexec_fn: SIGTERM when the test ends, however it ends
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def free_port():
    """A loopback port free now and not handed out before in this run."""
    while True:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in _handed_out:
            _handed_out.add(port)
            return port


class Failure(Exception):
    pass


class Instance:
    def __init__(self, name, home):
        self.name, self.home, self.process, self.last_event = name, pathlib.Path(home), None, 0
        self.gui_port, self.listen_port, self.api_key = free_port(), free_port(), "quillstone-lane-" + name
        self.env = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "https_proxy", "all_proxy")}
        self.env.update(HOME=str(self.home), STNORESTART="1", STNOUPGRADE="1", STNODEFAULTFOLDER="1")
        made = subprocess.run([BINARY, "generate", "--home=" + str(self.home), "--no-default-folder",
                               "--skip-port-probing"], env=self.env, capture_output=True, text=True, timeout=60)
        if made.returncode != 0:
            raise Failure("syncthing generate: " + made.stdout + made.stderr)
        self.config = ET.parse(self.home / "config.xml")
        self.id = self.config.getroot().find("device").get("id")
        self._opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    def configure(self, other, folders):
        """Only loopback, only `other` at its fixed address, and `folders` (id → path) shared with
        it, rescanned only when asked."""
        self.other, root = other, self.config.getroot()
        gui, options, defaults = root.find("gui"), root.find("options"), root.find("defaults")
        gui.find("address").text, gui.find("apikey").text = "127.0.0.1:%d" % self.gui_port, self.api_key
        for key, value in dict(OPTIONS, listenAddress="tcp://127.0.0.1:%d" % self.listen_port).items():
            (options.find(key) if options.find(key) is not None else ET.SubElement(options, key)).text = value
        for extra in options.findall("globalAnnounceServer") + options.findall("unackedNotificationID"):
            options.remove(extra)
        device = copy.deepcopy(defaults.find("device"))
        device.attrib.update(id=other.id, name=other.name)
        device.find("address").text = "tcp://127.0.0.1:%d" % other.listen_port
        root.insert(list(root).index(gui), device)
        for folder_id, path in folders.items():
            folder = copy.deepcopy(defaults.find("folder"))
            folder.attrib.update(id=folder_id, label=folder_id, path=str(path), rescanIntervalS="86400",
                                 fsWatcherEnabled="false")
            mine = folder.find("device")
            folder.insert(list(folder).index(mine) + 1, copy.deepcopy(mine))
            for entry, device_id in zip(folder.findall("device"), (self.id, other.id)):
                entry.set("id", device_id)
            folder.find("minDiskFree").text = "0"
            root.insert(list(root).index(device), folder)
        self.config.write(self.home / "config.xml")

    def start(self):
        self.log = open(self.home / "syncthing.log", "w")
        self.process = subprocess.Popen(
            [BINARY, "serve", "--home=" + str(self.home), "--no-browser", "--no-restart", "--no-upgrade",
             "--no-default-folder", "--skip-port-probing", "--logflags=3"],
            env=self.env, stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=ends_with_parent)

    def wait_started(self, seconds):
        deadline = time.monotonic() + seconds
        while self.process.poll() is None and time.monotonic() < deadline:
            try:
                if self.call("/rest/system/ping", timeout=2).get("ping") == "pong":
                    return
            except UNREACHABLE:
                time.sleep(0.1)
        raise Failure("syncthing %s did not answer in %d s (status %s): %s"
                      % (self.name, seconds, self.process.poll(), self.log_tail()))

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        try:
            self.call("/rest/system/shutdown", method="POST", timeout=5)
            self.process.wait(timeout=20)
        except UNREACHABLE + (subprocess.TimeoutExpired,):
            self.process.kill()
            self.process.wait()
        finally:
            self.log.close()

    def log_tail(self, lines=30):
        return "\n".join((self.home / "syncthing.log").read_text(errors="replace").splitlines()[-lines:])

    # ---- REST ----
    def call(self, path, params=None, method="GET", timeout=30):
        url = "http://127.0.0.1:%d%s" % (self.gui_port, path) + ("?" + urllib.parse.urlencode(params) if params else "")
        request = urllib.request.Request(url, method=method, headers={"X-API-Key": self.api_key},
                                         data=b"" if method == "POST" else None)
        with self._opener.open(request, timeout=timeout) as answer:
            body = answer.read()
        return json.loads(body) if body.strip() else None

    def scan(self, folder):  # returns once the scan is done
        self.call("/rest/db/scan", {"folder": folder}, "POST", timeout=120)

    def status(self, folder):
        return self.call("/rest/db/status", {"folder": folder})

    def connected(self, device):
        return bool(self.call("/rest/system/connections")["connections"].get(device, {}).get("connected"))

    def wait_event(self, seconds=1):
        """Blocks until the instance reports something new, or `seconds` pass."""
        try:
            events = self.call("/rest/events", {"since": self.last_event, "timeout": seconds}, timeout=seconds + 30)
        except UNREACHABLE:
            return
        if events:
            self.last_event = events[-1]["id"]


class Pair:
    """Two instances, "a" and "b", each holding `folders` (id → (path on a, path on b))."""

    def __init__(self, work, folders):
        self.work = pathlib.Path(work)
        self.both = self.a, self.b = Instance("a", self.work / "syncthing-a"), Instance("b", self.work / "syncthing-b")
        for path in (p for pair in folders.values() for p in pair):
            (pathlib.Path(path) / ".stfolder").mkdir(parents=True, exist_ok=True)
        self.a.configure(self.b, {f: p[0] for f, p in folders.items()})
        self.b.configure(self.a, {f: p[1] for f, p in folders.items()})

    def start(self, seconds=60):
        for side in self.both:
            side.start()
        for side in self.both:
            side.wait_started(seconds)
        self.wait_connected(True, seconds)

    def stop(self):
        for side in self.both:
            side.stop()

    def wait(self, waiting_on, what, started, seconds):
        """Waits for news from the side `waiting_on` (None: nothing to wait for); a failure once
        `seconds` have passed since `started`."""
        if waiting_on is not None and time.monotonic() > started + seconds:
            raise Failure("%s: still waiting after %d s on %s\n--- a ---\n%s\n--- b ---\n%s"
                          % (what, seconds, waiting_on.name, self.a.log_tail(10), self.b.log_tail(10)))
        return waiting_on is None or waiting_on.wait_event(1)

    def wait_connected(self, connected, seconds=60):
        started = time.monotonic()
        while True:
            for side in self.both:  # whatever happened before the check is taken in: the wait is for news
                side.wait_event(0)
            waiting_on = next((s for s in self.both if s.connected(s.other.id) != connected), None)
            if self.wait(waiting_on, ("" if connected else "dis") + "connected", started, seconds):
                return

    def set_paused(self, paused):
        """The two computers apart, or together again (the next call between them may then wait
        for the sync tool's next round of calls, a few seconds)."""
        for side in self.both:
            side.call("/rest/system/" + ("pause" if paused else "resume"), {"device": side.other.id}, "POST")
        self.wait_connected(not paused)

    def in_sync(self, folder):
        """None when both sides hold the other's whole index and need nothing; else the side to wait on."""
        statuses = {side: side.status(folder) for side in self.both}
        for side, status in statuses.items():
            if status.get("state") != "idle" or status.get("needTotalItems", 1) or not side.connected(side.other.id):
                return side
        for side in self.both:
            # What `side` knows of the other's index must be all of it, and the other must need
            # nothing of side's.
            done = side.call("/rest/db/completion", {"folder": folder, "device": side.other.id})
            if (done.get("sequence") != statuses[side.other].get("sequence")
                    or done.get("needItems", 1) != 0 or done.get("needDeletes", 1) != 0):
                return side
        return None

    def settle(self, folder, seconds=90):
        """Scans both sides until they agree and one more scan of each finds nothing new. Each pass
        scans again: a folder the sync tool made for the other side's files is recorded only by a
        scan, and until then the other side may be left wanting to delete it."""
        started, agreed = time.monotonic(), None
        while True:
            for side in self.both:
                side.scan(folder)
                side.wait_event(0)
            waiting_on = self.in_sync(folder)
            sequences = [side.status(folder).get("sequence") for side in self.both]
            if waiting_on is None and sequences == agreed:
                if time.monotonic() - started > 10:
                    print("note: the sync of %s took %.0f s" % (folder, time.monotonic() - started))
                return
            agreed = sequences if waiting_on is None else None
            self.wait(waiting_on, "sync of " + folder, started, seconds)
