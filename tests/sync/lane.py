# A scenario's run on the two computers: the writers' steps (each computer's writer sees its own
# copy of the folder), the sync tool between them, and the checks that follow a merge. Texts and
# times come from the scenario's seed; `updated` is the scenario's own clock, never the machine's.
# (Which package keeps an id, and a version's id and title, are the library's unit tests' to prove;
# here both computers must come to hold the same, and nothing written may be lost.)
import base64, hashlib, json, pathlib, random, re, shutil, time, traceback

from computer import Computer, png_data_url, strings, words
from harness import Checks
import syncthing

CLOCK_START_MS = 1767225600000  # 2026-01-01 00:00 UTC: where every scenario's clock starts
CONFLICT_DOC = re.compile(r"(^|/)document\.sync-conflict-\d{8}-\d{6}-[A-Z0-9]+\.json$")


def key(nodes):
    return json.dumps(nodes, sort_keys=True)


def text_and_pictures(value):
    """`value` with each picture as the file name the library gives it (its content hash): the same
    whether it is in the document or a reference to a file (which may have come back from a Trash)."""
    if isinstance(value, list):
        return [text_and_pictures(v) for v in value]
    if isinstance(value, dict):
        return {k: text_and_pictures(v) for k, v in value.items()}
    if isinstance(value, str) and value.startswith("quillstone-image:") and "#" in value:
        return "picture " + pathlib.PurePath(value.split("#")[0]).stem
    if isinstance(value, str) and value.startswith("data:image/") and ";base64," in value:
        return "picture " + hashlib.sha256(base64.b64decode(value.split(",", 1)[1])).hexdigest()[:20]
    return value


def docs_of(answer):
    """id → doc of an "open" answer, the app's own documents left out."""
    return {d["id"]: d for d in answer["state"]["docs"] if not d["id"].startswith("_")}


def version_notices(answer):
    return [n for n in answer.get("notices", []) if n.get("kind") == "versions"]


class Run:
    def __init__(self, name, seed, pair, build, work, check):
        self.name, self.pair, self.check, self.rng = name, pair, check, random.Random(seed)
        self.clock, self.serial = CLOCK_START_MS + seed * 86_400_000, 0
        self.a, self.b = (Computer(n, pathlib.Path(work) / n / name, build) for n in "ab")
        self.sync = lambda: pair.settle(name)
        self.views = {"a": {}, "b": {}}  # id → (rev, doc): what each computer's writer sees
        self.saved = {}  # (computer, id) → every text saved there; dropped when that computer deletes it

    @staticmethod
    def folders(name, work):
        """The folder the sync tool shares for scenario `name`: (path on a, path on b)."""
        return tuple(pathlib.Path(work) / n / name / "Writing" for n in "ab")

    def ok(self, what, ok, detail=""):
        return self.check("%s: %s" % (self.name, what), ok, detail)

    def computers(self):
        return (self.a, self.b)

    def apart(self):
        self.pair.set_paused(True)

    def together(self):
        self.pair.set_paused(False)
        self.sync()

    # ---- the writers ----
    def now(self):
        self.clock += self.rng.randint(60, 3600) * 1000
        return self.clock

    def save(self, side, doc, rev, via=None):  # through `via`, a bridge held open, or quillstone-cli
        doc = dict(doc, updated=self.now())
        record = {"id": doc["id"], "rev": rev, "updated": doc["updated"], "deleted": False, "deletedAt": None, "doc": doc}
        if via is None:
            side.write(record)
        elif via.ask({"op": "write", "batch": {"docs": [record]}}) is not True:
            raise AssertionError("%s: the write of %s through the bridge failed" % (side.name, doc["id"]))
        self.views[side.name][doc["id"]] = (rev, doc)
        self.saved.setdefault((side.name, doc["id"]), set()).update(p["text"] for p in doc["nodes"] if "text" in p)

    def add(self, side, nodes, text=True, image=False):  # and, as asked, a new paragraph and a picture
        self.serial += 1
        text = [{"id": "p%d" % self.serial, "text": "%s %s%d %s" % (self.name, side.name, self.serial,
                                                                   words(self.rng, 5))}] if text else []
        return nodes + text + ([{"id": "img%d" % self.serial, "image": png_data_url(self.rng)}] if image else [])

    def new(self, side, doc_id, title, image=False):
        self.save(side, {"id": doc_id, "title": title, "created": self.now(), "nodes": self.add(side, [], True, image)}, 1)

    def edit(self, side, doc_id, title=None, text=True, image=False, archived=None, via=None):
        rev, doc = self.views[side.name][doc_id]
        doc = dict(doc, nodes=self.add(side, doc["nodes"], text, image))
        doc.update({k: v for k, v in (("title", title), ("archived", archived)) if v is not None})
        self.save(side, doc, rev + 1, via)

    def delete(self, side, doc_id):
        rev, _ = self.views[side.name].pop(doc_id)
        side.write({"id": doc_id, "rev": rev + 1, "updated": self.now(), "deleted": True, "deletedAt": self.clock})
        self.saved.pop((side.name, doc_id), None)

    def look(self, sides=None):  # each writer sees what its computer's library now holds
        answers = {side.name: side.open() for side in sides or self.computers()}
        for name, answer in answers.items():
            self.views[name] = {i: (answer.get("revs", {}).get(i, 1), d) for i, d in docs_of(answer).items()}
        return answers

    def settle_until(self, condition, what, news, seconds=60):
        """Lets the sync tool and a program at work on a side go on until `condition()` holds;
        `news(timeout)` waits for the program to show it did something."""
        deadline = time.monotonic() + seconds
        while True:
            self.sync()
            met = condition()
            if met or time.monotonic() > deadline:
                return self.ok(what, met, "not after %d s" % seconds)
            news(1)

    # ---- after a merge ----
    def delivered(self):
        """(path, package, doc) of every "document.json" and version file the sync tool left."""
        found = []
        for path in (p for p in self.a.files("document") if p.endswith("/document.json") or CONFLICT_DOC.search(p)):
            try:
                found.append((path, str(pathlib.PurePath(path).parent), json.loads((self.a.root / path).read_text())["doc"]))
            except (ValueError, KeyError, TypeError):
                continue
        return found

    def converge(self, stage):
        """Both programs look, the sync tool carries what they did, they look again; then the checks."""
        ok = lambda what, good, detail="": self.ok(stage + ": " + what, good, detail)
        delivered = self.delivered()
        self.pictures_delivered = {p.name for p in self.a.root.glob("**/*.quillstone/images/*") if p.is_file()}
        before = {s.name: s.conflict_files() for s in self.computers()}
        ok("both computers hold the same version files before the programs look", before["a"] == before["b"], before)
        trashed_before = {s.name: set(s.trashed()) for s in self.computers()}
        first = {s.name: s.open() for s in self.computers()}
        self.sync()
        second = self.look()
        after = set(self.a.conflict_files() + self.b.conflict_files())
        docs = {n: docs_of(a) for n, a in second.items()}
        ok("no new version file appears once both computers have looked", not after - set(before["a"]),
           sorted(after - set(before["a"])))
        ok("every version of a document is brought in", not [p for p in after if CONFLICT_DOC.search(p)], after)
        ok("a second look brings in nothing more", not any(version_notices(a) for a in second.values()),
           {n: version_notices(a) for n, a in second.items()})

        # Each version of a document removed went to the Trash of a computer whose look said it
        # brought versions in. (Those of the renderings are only replaced at the package's next write.)
        taken = {s.name: [p for p in set(s.trashed()) - trashed_before[s.name] if CONFLICT_DOC.search(p)]
                 for s in self.computers()}
        unheld = [p for p in before["a"] if p not in after and CONFLICT_DOC.search(p)
                  and not any(p in paths for paths in taken.values())]
        ok("every version brought in is in the Trash of a computer that brought it in", not unheld, unheld)
        named = {n: sum(len(v.get("files", [])) for v in version_notices(a)) for n, a in first.items()}
        ok("each look names each version it brought in", all(named[n] >= len(p) for n, p in taken.items()), (named, taken))

        # Two packages holding one id: one keeps it, on both computers; the others are in a Trash.
        held = {}  # (computer, id) → the packages holding it now
        for side in self.computers():
            for package in side.packages():
                doc_id = json.loads((side.root / package / "document.json").read_text())["doc"]["id"]
                held.setdefault((side.name, doc_id), []).append(package)
        trashed = set(self.a.trashed()) | set(self.b.trashed())
        package_ids = {package: doc.get("id") for path, package, doc in delivered if path.endswith("/document.json")}
        doubled = {i: {p for p, pi in package_ids.items() if pi == i} for i in set(package_ids.values())}
        wrong = {i: (held.get(("a", i)), held.get(("b", i)), [p for p in packages if p not in trashed])
                 for i, packages in doubled.items() if len(packages) > 1 and not (
                     len(held.get(("a", i), [])) == 1 and held.get(("a", i)) == held.get(("b", i))
                     and all(p in trashed for p in packages - set(held[("a", i)])))}
        ok("of two packages holding one id, one keeps it and the other is in a Trash", not wrong, wrong)

        # Whatever the sync tool delivered is a document on both computers, pictures included; a
        # version holding another document keeps its id.
        for n, d in docs.items():
            kept = {key(text_and_pictures(doc.get("nodes"))) for doc in d.values()}
            lost = [path for path, _, doc in delivered if key(text_and_pictures(doc.get("nodes"))) not in kept]
            ok("every text and picture delivered is a document on " + n, not lost, lost)
            others = [doc["id"] for path, package, doc in delivered if CONFLICT_DOC.search(path)
                      and doc.get("id") != package_ids.get(package) and doc.get("id") not in d]
            ok("a version holding another document keeps its id on " + n, not others, others)
        self.same_on_both(ok, docs)
        return second

    def same_on_both(self, ok, docs):
        shape = {n: {i: (doc.get("title"), key(doc.get("nodes")), bool(doc.get("archived"))) for i, doc in d.items()}
                 for n, d in docs.items()}
        ok("both computers hold the same documents", shape["a"] == shape["b"],
           sorted(set(shape["a"].items()) ^ set(shape["b"].items())))
        ok("both computers hold the same packages", self.a.packages() == self.b.packages(),
           (self.a.packages(), self.b.packages()))
        # A picture "open" can't hand over stays a reference. One the sync tool deleted everywhere
        # (its package deleted on one side, the document edited on the other) can't come back;
        # every other one must be there.
        unresolved = {pathlib.PurePath(s.split("#")[0]).name: i for d in docs.values() for i, doc in d.items()
                      for s in strings(doc) if s.startswith("quillstone-image:")}
        gone = sorted(i for name, i in unresolved.items() if name not in self.pictures_delivered)
        if gone:
            print("note: %s: the sync tool deleted pictures of %s on both sides" % (self.name, gone))
        dangling = sorted(i for name, i in unresolved.items() if name in self.pictures_delivered)
        ok("every picture delivered is in its documents", not dangling, dangling)
        # Each text a writer saved, in a document they didn't delete, is in a document on both.
        for n, d in docs.items():
            lost = sorted(set().union(*self.saved.values()) - {s for doc in d.values() for s in strings(doc.get("nodes"))})
            ok("every text saved is in a document on " + n, not lost, lost)

    def merge(self):
        """The computers meet again; then a third round of writing on both, in turn, and a last look."""
        self.together()
        self.converge("merge")
        for turn, side in enumerate(self.computers()):
            self.look()
            for doc_id in sorted(self.views[side.name])[turn::2]:
                self.edit(side, doc_id)
            self.sync()
        answers = self.converge("third round")
        left = self.a.conflict_files() + self.b.conflict_files()
        self.ok("third round: no version file is left once every package was written again", not left, left)
        return answers


def run_lane(title, work, folders, body, keep=()):
    """Starts the sync tool on `folders` (id → (path on a, path on b)) below `work`, runs
    `body(pair, check)` and stops it; prints the time taken. On a failure the folders (`work` and
    those in `keep`) stay for a look. Gives the exit status."""
    started, check = time.monotonic(), Checks()
    pair = syncthing.Pair(work, folders)
    try:
        pair.start()
        body(pair, check)
    except Exception as e:
        check("%s runs to the end" % title, False, e if isinstance(e, syncthing.Failure) else traceback.format_exc())
    finally:
        pair.stop()
    print("%s: %.1f s" % (title, time.monotonic() - started))
    for folder in (work,) + tuple(keep):
        if check.failures:
            print("the folder stays: %s" % folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)
    return check.report()
