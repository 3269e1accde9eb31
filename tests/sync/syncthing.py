"""Two Syncthing instances on loopback that share folders with each other and nothing else: no
discovery, relays, NAT, usage or crash reports, upgrades or file watching. Folders are scanned
only when asked, so what each side sees depends on the test's steps, not on timing; the test
waits by polling the REST API (the events call blocks until something happens)."""
import copy, ctypes, json, os, pathlib, shutil, signal, socket, subprocess, time, urllib.error
import urllib.parse, urllib.request
import xml.etree.ElementTree as ET

BINARY = shutil.which("syncthing")
# Long enough never to fire during a run: every scan is asked for.
RESCAN_SECONDS = 86400


def ends_with_parent():
    """For Popen's preexec_fn: the child is sent SIGTERM when the test ends, however it ends, so
    no instance outlives a killed run."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


_handed_out = set()


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
        self.name, self.home = name, pathlib.Path(home)
        self.gui_port, self.listen_port = free_port(), free_port()
        self.api_key = "quillstone-lane-" + name
        self.env = dict(os.environ, HOME=str(self.home), STNORESTART="1", STNOUPGRADE="1",
                        STNODEFAULTFOLDER="1")
        for proxy in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
            self.env.pop(proxy, None)
        made = subprocess.run([BINARY, "generate", "--home=" + str(self.home), "--no-default-folder",
                               "--skip-port-probing"], env=self.env, capture_output=True, text=True,
                              timeout=60)
        if made.returncode != 0:
            raise Failure("syncthing generate: " + made.stdout + made.stderr)
        self.config_path = self.home / "config.xml"
        self.config = ET.parse(self.config_path)
        self.id = self.config.getroot().find("device").get("id")
        self.process = None
        self.last_event = 0
        self._opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    # ---- configuration, before start ----
    def configure(self, other, folders):
        """Only loopback, only `other` at its fixed address, and `folders` (id → path) shared
        with it."""
        root = self.config.getroot()
        gui = root.find("gui")
        gui.find("address").text = "127.0.0.1:%d" % self.gui_port
        gui.find("apikey").text = self.api_key
        options = root.find("options")
        settings = {
            "listenAddress": "tcp://127.0.0.1:%d" % self.listen_port,
            "globalAnnounceEnabled": "false", "localAnnounceEnabled": "false",
            "relaysEnabled": "false", "natEnabled": "false", "startBrowser": "false",
            "urAccepted": "-1", "urSeen": "3", "autoUpgradeIntervalH": "0",
            "crashReportingEnabled": "false", "reconnectionIntervalS": "1",
            "restartOnWakeup": "false", "setLowPriority": "false",
        }
        for key, value in settings.items():
            element = options.find(key)
            if element is None:
                element = ET.SubElement(options, key)
            element.text = value
        for extra in options.findall("globalAnnounceServer"):
            options.remove(extra)
        for extra in options.findall("unackedNotificationID"):
            options.remove(extra)
        defaults = root.find("defaults")
        device = copy.deepcopy(defaults.find("device"))
        device.set("id", other.id)
        device.set("name", other.name)
        device.find("address").text = "tcp://127.0.0.1:%d" % other.listen_port
        root.insert(list(root).index(gui), device)
        for folder_id, path in folders.items():
            folder = copy.deepcopy(defaults.find("folder"))
            folder.set("id", folder_id)
            folder.set("label", folder_id)
            folder.set("path", str(path))
            folder.set("rescanIntervalS", str(RESCAN_SECONDS))
            folder.set("fsWatcherEnabled", "false")
            folder.find("device").set("id", self.id)
            shared = copy.deepcopy(folder.find("device"))
            shared.set("id", other.id)
            folder.insert(list(folder).index(folder.find("device")) + 1, shared)
            folder.find("minDiskFree").text = "0"
            root.insert(list(root).index(device), folder)
        self.config.write(self.config_path)

    # ---- the process ----
    def start(self):
        self.log = open(self.home / "syncthing.log", "w")
        self.process = subprocess.Popen(
            [BINARY, "serve", "--home=" + str(self.home), "--no-browser", "--no-restart",
             "--no-upgrade", "--no-default-folder", "--skip-port-probing", "--logflags=3"],
            env=self.env, stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=ends_with_parent)

    def wait_started(self, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise Failure("syncthing %s ended (status %s): %s"
                              % (self.name, self.process.returncode, self.log_tail()))
            try:
                if self.get("/rest/system/ping", timeout=2).get("ping") == "pong":
                    return
            except (OSError, urllib.error.URLError, ValueError):
                pass
            time.sleep(0.1)
        raise Failure("syncthing %s did not answer in %d s" % (self.name, seconds))

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        try:
            self.post("/rest/system/shutdown", timeout=5)
            self.process.wait(timeout=20)
        except (OSError, urllib.error.URLError, subprocess.TimeoutExpired, ValueError):
            self.process.kill()
            self.process.wait()
        finally:
            self.log.close()

    def log_tail(self, lines=30):
        path = self.home / "syncthing.log"
        return "\n".join(path.read_text(errors="replace").splitlines()[-lines:]) if path.exists() else ""

    # ---- REST ----
    def call(self, method, path, params=None, timeout=30):
        url = "http://127.0.0.1:%d%s" % (self.gui_port, path)
        if params:
            url += "?" + urllib.parse.urlencode(params)
        request = urllib.request.Request(url, method=method, headers={"X-API-Key": self.api_key},
                                         data=b"" if method == "POST" else None)
        with self._opener.open(request, timeout=timeout) as answer:
            body = answer.read()
        return json.loads(body) if body.strip() else None

    def get(self, path, params=None, timeout=30):
        return self.call("GET", path, params, timeout)

    def post(self, path, params=None, timeout=30):
        return self.call("POST", path, params, timeout)

    def scan(self, folder):
        """Returns once the folder's scan is done."""
        self.post("/rest/db/scan", {"folder": folder}, timeout=120)

    def status(self, folder):
        return self.get("/rest/db/status", {"folder": folder})

    def completion(self, folder, device):
        return self.get("/rest/db/completion", {"folder": folder, "device": device})

    def connected(self, device):
        connection = self.get("/rest/system/connections")["connections"].get(device)
        return bool(connection and connection.get("connected"))

    def wait_event(self, seconds=1):
        """Blocks until the instance reports something new, or `seconds` pass."""
        try:
            events = self.get("/rest/events", {"since": self.last_event, "timeout": seconds},
                              timeout=seconds + 30)
        except (OSError, urllib.error.URLError, ValueError):
            return
        if events:
            self.last_event = events[-1]["id"]


class Pair:
    """Two instances, "a" and "b", each holding `folders` (id → (path on a, path on b))."""

    def __init__(self, work, folders):
        self.work = pathlib.Path(work)
        self.a = Instance("a", self.work / "syncthing-a")
        self.b = Instance("b", self.work / "syncthing-b")
        for path_a, path_b in folders.values():
            for path in (path_a, path_b):
                (pathlib.Path(path) / ".stfolder").mkdir(parents=True, exist_ok=True)
        self.a.configure(self.b, {f: p[0] for f, p in folders.items()})
        self.b.configure(self.a, {f: p[1] for f, p in folders.items()})
        self.folders = list(folders)

    def start(self, seconds=60):
        for side in self.both():
            side.start()
        for side in self.both():
            side.wait_started(seconds)
        self.wait_connected(True, seconds)

    def stop(self):
        for side in self.both():
            side.stop()

    def both(self):
        return (self.a, self.b)

    def other(self, side):
        return self.b if side is self.a else self.a

    def until(self, condition, seconds, what):
        """Waits for `condition()`, which gives None when met or the side to wait on."""
        deadline = time.monotonic() + seconds
        while True:
            # Whatever happened before the check is taken in, so the wait below is for news.
            for side in self.both():
                side.wait_event(0)
            waiting_on = condition()
            if waiting_on is None:
                return
            if time.monotonic() > deadline:
                raise self.failure("%s: still waiting after %d s on %s" % (what, seconds, waiting_on.name))
            waiting_on.wait_event(1)

    def failure(self, text):
        return Failure("%s\n--- a ---\n%s\n--- b ---\n%s" % (text, self.a.log_tail(10), self.b.log_tail(10)))

    def wait_connected(self, connected, seconds=60):
        def check():
            for side in self.both():
                if side.connected(self.other(side).id) != connected:
                    return side
            return None
        self.until(check, seconds, "connected" if connected else "disconnected")

    def pause(self):
        """The two computers apart: each stops talking to the other."""
        for side in self.both():
            side.post("/rest/system/pause", {"device": self.other(side).id})
        self.wait_connected(False)

    def resume(self):
        """Together again; the next call between them may wait for the sync tool's next round
        of calls, a few seconds."""
        for side in self.both():
            side.post("/rest/system/resume", {"device": self.other(side).id})
        self.wait_connected(True)

    def in_sync(self, folder):
        """None when both sides hold the other's whole index and need nothing; else the side to
        wait on."""
        statuses = {}
        for side in self.both():
            status = side.status(folder)
            if status.get("state") != "idle" or status.get("needTotalItems", 1) != 0:
                return side
            statuses[side.name] = status
        for side in self.both():
            other = self.other(side)
            if not side.connected(other.id):
                return side
            # What `side` knows of the other's index must be all of it, and the other must need
            # nothing of side's.
            done = side.completion(folder, other.id)
            if (done.get("sequence") != statuses[other.name].get("sequence")
                    or done.get("needItems", 1) != 0 or done.get("needDeletes", 1) != 0):
                return side
        return None

    def settle(self, folder, seconds=90):
        """Scans both sides until they agree and one more scan of each finds nothing new. Each
        pass scans again: a folder the sync tool made for the other side's files is recorded
        only by a scan, and until then the other side may be left wanting to delete it."""
        started = time.monotonic()
        deadline = started + seconds
        agreed = None
        while True:
            for side in self.both():
                side.scan(folder)
                side.wait_event(0)
            waiting_on = self.in_sync(folder)
            sequences = [side.status(folder).get("sequence") for side in self.both()]
            if waiting_on is None:
                if sequences == agreed:
                    if time.monotonic() - started > 10:
                        print("note: the sync of %s took %.0f s" % (folder, time.monotonic() - started))
                    return
                agreed = sequences
                continue
            agreed = None
            if time.monotonic() > deadline:
                raise self.failure("sync of %s: still waiting after %d s on %s"
                                   % (folder, seconds, waiting_on.name))
            waiting_on.wait_event(1)
