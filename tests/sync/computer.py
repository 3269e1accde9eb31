"""One computer of the two: a writing folder, a support folder and a home of its own (so its
Trash is its own), and the program run on them: quillstone-cli, or its bridge held open as a
window would hold the library."""
import base64, json, os, pathlib, select, signal, struct, subprocess, urllib.parse, zlib

from syncthing import ends_with_parent

CONFLICT_MARK = ".sync-conflict-"


class Computer:
    def __init__(self, name, base, build):
        self.name, self.base = name, pathlib.Path(base)
        self.cli_path = pathlib.Path(build) / "quillstone-cli"
        self.root, self.support = self.base / "Writing", self.base / "Support"
        self.data = self.base / "data"
        for folder in ("home", "data", "config", "Support"):
            (self.base / folder).mkdir(parents=True, exist_ok=True)
        self.env = dict(os.environ, HOME=str(self.base / "home"), XDG_DATA_HOME=str(self.data),
                        XDG_CONFIG_HOME=str(self.base / "config"), QUILLSTONE_ROOT=str(self.root),
                        QUILLSTONE_SUPPORT=str(self.support), QUILLSTONE_NO_WELCOME="1",
                        NO_AT_BRIDGE="1")

    def cli(self, *args, input=None):
        return subprocess.run(self.command(*args), env=self.env, input=input, capture_output=True,
                              text=True, timeout=120)

    def write(self, *records):
        done = self.cli("write", "-", input=json.dumps({"docs": list(records)}))
        if done.returncode != 0 or done.stdout.strip() != "true":
            raise AssertionError("%s: write failed (%d): %s %s"
                                 % (self.name, done.returncode, done.stdout, done.stderr))

    def open(self):
        done = self.cli("open")
        if done.returncode != 0:
            raise AssertionError("%s: open failed (%d): %s" % (self.name, done.returncode, done.stderr))
        return json.loads(done.stdout)

    def bridge(self):
        return Bridge(self)

    def watch(self):
        return Watch(self)

    def command(self, *args):
        return [str(self.cli_path), "--root", str(self.root), "--support", str(self.support), *args]

    # ---- what is on disk ----
    def files(self, mark=None):
        """Relative paths of the regular files below the writing folder (links are never
        followed), whose name holds `mark` when given; Syncthing's own files left out."""
        found = []
        for folder, dirs, names in os.walk(self.root):
            dirs[:] = sorted(d for d in dirs if d != ".stfolder")
            for name in sorted(names):
                if name.startswith(".syncthing.") or (mark and mark not in name):
                    continue
                path = pathlib.Path(folder) / name
                if path.is_file() and not path.is_symlink():
                    found.append(str(path.relative_to(self.root)))
        return found

    def conflict_files(self):
        return self.files(CONFLICT_MARK)

    def packages(self):
        """The packages' paths below the writing folder (its Archive included)."""
        return sorted(str(p.relative_to(self.root)) for p in self.root.glob("**/*.quillstone")
                      if p.is_dir() and not p.is_symlink())

    def trashed(self):
        """The original paths, below the writing folder, of what is in this computer's Trash."""
        paths = []
        for info in sorted((self.data / "Trash" / "info").glob("*.trashinfo")):
            for line in info.read_text().splitlines():
                if line.startswith("Path="):
                    path = pathlib.Path(urllib.parse.unquote(line[5:]))
                    if path.is_relative_to(self.root):
                        paths.append(str(path.relative_to(self.root)))
        return paths


class Bridge:
    """quillstone-cli bridge: the library held open between messages, as a window holds it."""

    def __init__(self, computer):
        self.process = subprocess.Popen(computer.command("bridge"), env=computer.env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def ask(self, message):
        """One message, and its reply's value (a JSON text decoded)."""
        self.process.stdin.write(json.dumps(message) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise AssertionError("the bridge ended: " + self.process.stderr.read())
        reply = json.loads(line)
        if "error" in reply:
            raise AssertionError("the bridge answered %s with %s" % (message.get("op"), reply["error"]))
        value = reply.get("value")
        if isinstance(value, str) and value.startswith("\x1e"):
            value = json.loads(value[1:])
        return value

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


class Watch:
    """quillstone-cli watch: the batches of records it hands over, one JSON line each."""

    def __init__(self, computer):
        self.process = subprocess.Popen(computer.command("watch"), env=computer.env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        preexec_fn=ends_with_parent)
        self.batches = []
        # It says so once everything is read and the watch is set.
        ready, _, _ = select.select([self.process.stderr], [], [], 60)
        if not ready or "watching" not in self.process.stderr.readline():
            self.stop()
            raise AssertionError("quillstone-cli watch didn't start")

    def news(self, seconds):
        """Takes a batch handed over within `seconds`, if any."""
        ready, _, _ = select.select([self.process.stdout], [], [], seconds)
        if ready:
            line = self.process.stdout.readline()
            if line.strip():
                self.batches.append(json.loads(line))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            out, _ = self.process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, _ = self.process.communicate()
        self.batches += [json.loads(l) for l in out.splitlines() if l.strip()]
        return self.process.returncode

    def ids(self):
        return {r.get("id") for batch in self.batches for r in batch if isinstance(r, dict)}


# ---- documents ----

def png_data_url(rng, size=24):
    """A real PNG of noise, large enough that the library keeps it as a file in the package."""
    raw = b"".join(b"\0" + bytes(rng.randrange(256) for _ in range(size * 3)) for _ in range(size))
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
    return "data:image/png;base64," + base64.b64encode(png).decode()


def strings(value):
    """Every string inside a JSON value."""
    if isinstance(value, str):
        yield value
    elif isinstance(value, list):
        for v in value:
            yield from strings(v)
    elif isinstance(value, dict):
        for v in value.values():
            yield from strings(v)


def words(rng, count):
    letters = "abcdefghijklmnopqrstuvwxyz"
    return " ".join("".join(rng.choice(letters) for _ in range(rng.randint(3, 9)))
                    for _ in range(count))
