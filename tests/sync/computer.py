# One computer of the two: a writing folder, a support folder and a home of its own (so its Trash is
# its own), and the program run on them: quillstone-cli, or its bridge held open as a window would
# hold the library, or its folder watch.
import base64, json, os, pathlib, select, signal, subprocess, sys, urllib.parse

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "e2e"))
from harness import png  # noqa: E402
from syncthing import ends_with_parent  # noqa: E402

CONFLICT_MARK = ".sync-conflict-"


class Computer:
    def __init__(self, name, base, build):
        self.name, self.base, self.cli_path = name, pathlib.Path(base), pathlib.Path(build) / "quillstone-cli"
        self.root, self.support, self.data = self.base / "Writing", self.base / "Support", self.base / "data"
        for folder in ("home", "data", "config", "Support"):
            (self.base / folder).mkdir(parents=True, exist_ok=True)
        self.env = dict(os.environ, HOME=str(self.base / "home"), XDG_DATA_HOME=str(self.data),
                        XDG_CONFIG_HOME=str(self.base / "config"), QUILLSTONE_ROOT=str(self.root),
                        QUILLSTONE_SUPPORT=str(self.support), QUILLSTONE_NO_WELCOME="1", NO_AT_BRIDGE="1")

    def command(self, *args):
        return [str(self.cli_path), "--root", str(self.root), "--support", str(self.support), *args]

    def cli(self, *args, input=None, expect=None):
        """quillstone-cli's result; `expect`: what it is for, failing unless it succeeds."""
        done = subprocess.run(self.command(*args), env=self.env, input=input, capture_output=True, text=True, timeout=120)
        if expect and done.returncode != 0:
            raise AssertionError("%s: %s failed (%d): %s %s" % (self.name, expect, done.returncode, done.stdout, done.stderr))
        return done

    def write(self, *records):
        if self.cli("write", "-", input=json.dumps({"docs": list(records)}), expect="write").stdout.strip() != "true":
            raise AssertionError("%s: write of %s refused" % (self.name, [r["id"] for r in records]))

    def open(self):
        return json.loads(self.cli("open", expect="open").stdout)

    # ---- what is on disk ----
    def files(self, mark=None):
        """Relative paths of the regular files below the writing folder (links are never followed),
        whose name holds `mark` when given; Syncthing's own files left out."""
        found = []
        for folder, dirs, names in os.walk(self.root):
            dirs[:] = sorted(d for d in dirs if d != ".stfolder")
            paths = (pathlib.Path(folder) / n for n in sorted(names)
                     if not n.startswith(".syncthing.") and (not mark or mark in n))
            found += [str(p.relative_to(self.root)) for p in paths if p.is_file() and not p.is_symlink()]
        return found

    def conflict_files(self):
        return self.files(CONFLICT_MARK)

    def packages(self):
        """The packages' paths below the writing folder (its Archive included)."""
        return sorted(str(p.relative_to(self.root)) for p in self.root.glob("**/*.quillstone")
                      if p.is_dir() and not p.is_symlink())

    def trashed(self):
        """The original paths, below the writing folder, of what is in this computer's Trash."""
        paths = [pathlib.Path(urllib.parse.unquote(line[5:])) for info in (self.data / "Trash/info").glob("*.trashinfo")
                 for line in info.read_text().splitlines() if line.startswith("Path=")]
        return sorted(str(p.relative_to(self.root)) for p in paths if p.is_relative_to(self.root))


def ended(process):
    """What `process` wrote to its standard output once it ends (killed after a minute)."""
    try:
        return process.communicate(timeout=60)[0]
    except subprocess.TimeoutExpired:
        process.kill()
        return process.communicate()[0]


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
        return json.loads(value[1:]) if isinstance(value, str) and value.startswith("\x1e") else value

    def close(self):
        ended(self.process)


class Watch:
    """quillstone-cli watch: the batches of records it hands over, one JSON line each."""

    def __init__(self, computer):
        self.process = subprocess.Popen(computer.command("watch"), env=computer.env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, preexec_fn=ends_with_parent)
        self.batches = []
        # It says so once everything is read and the watch is set.
        ready, _, _ = select.select([self.process.stderr], [], [], 60)
        if not ready or "watching" not in self.process.stderr.readline():
            self.stop()
            raise AssertionError("quillstone-cli watch didn't start")

    def news(self, seconds):
        """Takes a batch handed over within `seconds`, if any."""
        if select.select([self.process.stdout], [], [], seconds)[0]:
            line = self.process.stdout.readline()
            self.batches += [json.loads(line)] if line.strip() else []

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.batches += [json.loads(l) for l in ended(self.process).splitlines() if l.strip()]
        return self.process.returncode

    def ids(self):
        return {r.get("id") for batch in self.batches for r in batch if isinstance(r, dict)}


# ---- documents ----
def png_data_url(rng, size=24):
    """A real PNG of noise, large enough that the library keeps it as a file in the package."""
    rows = [bytes(rng.randrange(256) for _ in range(size * 3)) for _ in range(size)]
    return "data:image/png;base64," + base64.b64encode(png(size, size, rows)).decode()


def strings(value):
    """Every string inside a JSON value."""
    if isinstance(value, str):
        yield value
    for v in value.values() if isinstance(value, dict) else value if isinstance(value, list) else []:
        yield from strings(v)


def words(rng, count):
    return " ".join("".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 9)))
                    for _ in range(count))
