"""A scenario's run on the two computers: the writers' steps (each computer's writer sees its own
copy of the folder), the sync tool between them, and the checks that follow a merge. Texts and
times come from the scenario's seed; `updated` is the scenario's own clock, never the machine's."""
import base64, datetime, hashlib, json, pathlib, random, re, time

from computer import CONFLICT_MARK, Computer, png_data_url, strings, words

# 2026-01-01 00:00 UTC: where every scenario's clock starts.
CLOCK_START_MS = 1767225600000
CONFLICT_DOC = re.compile(r"(^|/)document\.sync-conflict-(\d{8})-(\d{6})-[A-Z0-9]+\.json$")
VERSION_TITLE = re.compile(r" \(version from \d{4}-\d\d-\d\d \d\d:\d\d\)$")


class Checks:
    def __init__(self):
        self.passed, self.failures = [], []

    def __call__(self, name, ok, detail=""):
        if ok:
            self.passed.append(name)
        else:
            self.failures.append(name if detail == "" else "%s: %s" % (name, detail))
        return ok

    def report(self):
        for p in self.passed:
            print("ok   " + p)
        for f in self.failures:
            print("FAIL " + f)
        print("%d passed, %d failed" % (len(self.passed), len(self.failures)))
        return 1 if self.failures else 0


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def version_id(doc_id, stored_doc):
    return "v" + hashlib.sha256(doc_id.encode() + b"\0" + compact(stored_doc).encode()).hexdigest()[:32]


def utc_minute(ms):
    return datetime.datetime.fromtimestamp(ms / 1000, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")


def key(nodes):
    return json.dumps(nodes, sort_keys=True)


def picture_name(s):
    """The file name the library gives a picture (its content hash), from a data URL or a
    reference; None for other strings."""
    if s.startswith("quillstone-image:") and "#" in s:
        return pathlib.PurePath(s.split("#")[0]).stem
    if s.startswith("data:image/") and ";base64," in s:
        return hashlib.sha256(base64.b64decode(s.split(",", 1)[1])).hexdigest()[:20]
    return None


def text_and_pictures(value):
    """`value` with each picture as its name: the same whether it is in the document or is a
    reference to a file (which may have come back from a Trash since)."""
    if isinstance(value, str):
        name = picture_name(value)
        return "picture " + name if name else value
    if isinstance(value, list):
        return [text_and_pictures(v) for v in value]
    if isinstance(value, dict):
        return {k: text_and_pictures(v) for k, v in value.items()}
    return value


def without_updated(doc):
    return {k: v for k, v in doc.items() if k != "updated"}


def docs_of(answer):
    """id → doc of an "open" answer, the app's own documents left out."""
    return {d["id"]: d for d in answer["state"]["docs"] if not d["id"].startswith("_")}


def version_notices(answer):
    return [n for n in answer.get("notices", []) if n.get("kind") == "versions"]


class Run:
    def __init__(self, name, seed, pair, build, work, check):
        self.name, self.pair, self.check = name, pair, check
        self.rng = random.Random(seed)
        self.clock = CLOCK_START_MS + seed * 86_400_000
        self.a = Computer("a", pathlib.Path(work) / "a" / name, build)
        self.b = Computer("b", pathlib.Path(work) / "b" / name, build)
        self.views = {"a": {}, "b": {}}  # id → (rev, doc): what each computer's writer sees
        # (computer, id) → every text saved there; dropped when that computer deletes the document.
        self.saved = {}
        self.serial = 0

    @staticmethod
    def folders(name, work):
        """The folder the sync tool shares for scenario `name`: (path on a, path on b)."""
        return (pathlib.Path(work) / "a" / name / "Writing", pathlib.Path(work) / "b" / name / "Writing")

    def ok(self, what, ok, detail=""):
        return self.check("%s: %s" % (self.name, what), ok, detail)

    def computers(self):
        return (self.a, self.b)

    # ---- the writers ----
    def now(self):
        self.clock += self.rng.randint(60, 3600) * 1000
        return self.clock

    def paragraph(self, side):
        self.serial += 1
        return {"id": "p%d" % self.serial, "text": "%s %s%d %s" % (self.name, side.name, self.serial,
                                                                   words(self.rng, 5))}

    def save(self, side, doc, rev, via=None):
        """`via`: what the record is written through (a bridge held open), else quillstone-cli."""
        updated = self.now()
        doc = dict(doc, updated=updated)
        record = {"id": doc["id"], "rev": rev, "updated": updated, "deleted": False,
                  "deletedAt": None, "doc": doc}
        if via is None:
            side.write(record)
        elif via.ask({"op": "write", "batch": {"docs": [record]}}) is not True:
            raise AssertionError("%s: the write of %s through the bridge failed" % (side.name, doc["id"]))
        self.views[side.name][doc["id"]] = (rev, doc)
        texts = (p["text"] for p in doc["nodes"] if "text" in p)
        self.saved.setdefault((side.name, doc["id"]), set()).update(texts)
        return doc

    def new(self, side, doc_id, title, image=False):
        created = self.now()
        nodes = [self.paragraph(side)]
        if image:
            nodes.append({"id": "img%d" % self.serial, "image": png_data_url(self.rng)})
        return self.save(side, {"id": doc_id, "title": title, "created": created, "nodes": nodes}, 1)

    def edit(self, side, doc_id, title=None, text=True, image=False, archived=None, via=None):
        rev, doc = self.views[side.name][doc_id]
        doc = json.loads(json.dumps(doc))
        if title is not None:
            doc["title"] = title
        if text:
            doc["nodes"].append(self.paragraph(side))
        if image:
            self.serial += 1
            doc["nodes"].append({"id": "img%d" % self.serial, "image": png_data_url(self.rng)})
        if archived is not None:
            doc["archived"] = archived
        return self.save(side, doc, rev + 1, via)

    def delete(self, side, doc_id):
        rev, _ = self.views[side.name].pop(doc_id)
        side.write({"id": doc_id, "rev": rev + 1, "updated": self.now(), "deleted": True,
                    "deletedAt": self.clock})
        self.saved.pop((side.name, doc_id), None)

    def look(self, sides=None):
        """Each writer sees what its computer's library now holds."""
        answers = {}
        for side in sides or self.computers():
            answers[side.name] = side.open()
            revs = answers[side.name].get("revs", {})
            docs = docs_of(answers[side.name])
            self.views[side.name] = {i: (revs.get(i, 1), d) for i, d in docs.items()}
        return answers

    # ---- the sync tool ----
    def sync(self):
        self.pair.settle(self.name)

    def settle_until(self, condition, what, news, seconds=60):
        """Lets the sync tool and a program at work on a side go on until `condition()` holds;
        `news(timeout)` waits for the program to show it did something."""
        deadline = time.monotonic() + seconds
        while True:
            self.sync()
            if condition():
                return self.ok(what, True)
            if time.monotonic() > deadline:
                return self.ok(what, False, "not after %d s" % seconds)
            news(1)

    def apart(self):
        self.pair.pause()

    def together(self):
        self.pair.resume()
        self.sync()

    # ---- after a merge ----
    def delivered(self):
        """What the sync tool left in the writing folder, before either program looks: every doc
        of a "document.json" or a version file, and the pictures' files anywhere."""
        side = self.a
        self.pictures_delivered = {p.name for p in side.root.glob("**/*.quillstone/images/*") if p.is_file()}
        found = []
        for path in side.files("document"):
            if not (path.endswith("/document.json") or CONFLICT_DOC.search(path)):
                continue
            try:
                envelope = json.loads((side.root / path).read_text())
                doc = envelope["doc"]
            except (ValueError, KeyError, TypeError):
                continue
            package = str(pathlib.PurePath(path).parent)
            found.append({"path": path, "package": package, "envelope": envelope, "doc": doc})
        return found

    def expected_versions(self, delivered):
        """(id, title, source path) of each version the library is to bring in, and the paths
        of the packages that lose their id."""
        versions, losers = [], []
        packages = [d for d in delivered if d["path"].endswith("/document.json")]
        by_package = {d["package"]: d for d in packages}
        for d in delivered:
            match = CONFLICT_DOC.search(d["path"])
            if not match:
                continue
            beside = by_package.get(d["package"])
            if beside is None or beside["doc"].get("id") != d["doc"].get("id"):
                continue  # another document: it keeps its id
            if without_updated(beside["doc"]) == without_updated(d["doc"]):
                continue
            day, time = match.group(2), match.group(3)
            stamp = "%s-%s-%s %s:%s" % (day[:4], day[4:6], day[6:], time[:2], time[2:4])
            versions.append((version_id(d["doc"]["id"], d["doc"]),
                             d["doc"].get("title", "") + " (version from %s)" % stamp, d["path"]))
        by_id = {}
        for d in packages:
            by_id.setdefault(d["doc"].get("id"), []).append(d)
        for doc_id, same in by_id.items():
            if len(same) < 2:
                continue
            def rank(d):
                record = d["envelope"].get("record", {})
                updated = d["doc"].get("updated", record.get("updated", 0))
                return (CONFLICT_MARK not in d["package"], updated, record.get("rev", 1))
            best = max(rank(d) for d in same)
            keeper = min((d for d in same if rank(d) == best), key=lambda d: d["package"].encode())
            for d in same:
                if d is keeper:
                    continue
                losers.append(d["package"])
                updated = d["doc"].get("updated", d["envelope"].get("record", {}).get("updated", 0))
                versions.append((version_id(doc_id, d["doc"]),
                                 d["doc"].get("title", "") + " (version from %s)" % utc_minute(updated),
                                 d["package"]))
        return versions, losers

    def converge(self, stage):
        """Both programs look at what the sync tool delivered, the sync tool carries what they
        did, and they look again; then the checks."""
        delivered = self.delivered()
        before = {s.name: s.conflict_files() for s in self.computers()}
        self.ok(stage + ": both computers hold the same version files before the programs look",
                before["a"] == before["b"], before)
        trashed_before = {s.name: set(s.trashed()) for s in self.computers()}
        first = {s.name: s.open() for s in self.computers()}
        self.sync()
        second = self.look()
        after = {s.name: s.conflict_files() for s in self.computers()}
        docs = {n: docs_of(a) for n, a in second.items()}

        new = sorted(set(after["a"] + after["b"]) - set(before["a"]))
        self.ok(stage + ": no new version file appears once both computers have looked", not new, new)
        left = [p for p in after["a"] + after["b"] if CONFLICT_DOC.search(p)]
        self.ok(stage + ": every version of a document is brought in", not left, left)
        self.ok(stage + ": a second look brings in nothing more",
                not any(version_notices(a) for a in second.values()),
                {n: version_notices(a) for n, a in second.items()})

        # Each version of a document removed went to the Trash of a computer whose look said it
        # brought versions in. (Those of the renderings are only replaced at the package's next
        # write.)
        reported = {n: sum(len(v.get("files", [])) for v in version_notices(a)) for n, a in first.items()}
        taken = {s.name: [p for p in set(s.trashed()) - trashed_before[s.name] if CONFLICT_DOC.search(p)]
                 for s in self.computers()}
        for path in before["a"]:
            if path in after["a"] + after["b"] or not CONFLICT_DOC.search(path):
                continue
            holders = [n for n, paths in taken.items() if path in paths]
            self.ok(stage + ": %s is in the Trash of a computer that brought it in" % path, holders, holders)
        for n, paths in taken.items():
            self.ok(stage + ": %s's look names each version it brought in" % n, reported[n] >= len(paths),
                    "%d named, %d in its Trash" % (reported[n], len(paths)))

        versions, losers = self.expected_versions(delivered)
        for doc_id, title, source in versions:
            held = {n: d.get(doc_id, {}).get("title") for n, d in docs.items()}
            self.ok(stage + ": the version from %s is %s, titled %r, on both computers"
                    % (source, doc_id, title), held == {"a": title, "b": title}, held)
        for package in losers:
            self.ok(stage + ": the package %s that lost its id is in a Trash" % package,
                    any(package in s.trashed() for s in self.computers()))
        for n, d in docs.items():
            odd = [i for i, doc in d.items()
                   if VERSION_TITLE.search(doc.get("title", "")) and not re.fullmatch(r"v[0-9a-f]{32}", i)]
            self.ok(stage + ": %s's versions have ids of a version" % n, not odd, odd)

        # Whatever the sync tool delivered is a document on both computers, pictures included.
        for n, d in docs.items():
            held = {key(text_and_pictures(doc.get("nodes"))) for doc in d.values()}
            lost = [x["path"] for x in delivered if key(text_and_pictures(x["doc"].get("nodes"))) not in held]
            self.ok(stage + ": every text and picture delivered is a document on " + n, not lost, lost)
            others = [x["doc"]["id"] for x in delivered
                      if CONFLICT_DOC.search(x["path"]) and x["doc"].get("id") not in d
                      and not any(v[2] == x["path"] for v in versions)]
            self.ok(stage + ": a version holding another document keeps its id on " + n, not others, others)
        self.same_on_both(stage, second)
        self.nothing_lost(stage, docs)
        return second

    def same_on_both(self, stage, answers):
        a, b = (docs_of(answers[n]) for n in ("a", "b"))
        def shape(docs):
            return {i: (d.get("title"), key(d.get("nodes")), bool(d.get("archived")))
                    for i, d in docs.items()}
        self.ok(stage + ": both computers hold the same documents", shape(a) == shape(b),
                sorted(set(shape(a).items()) ^ set(shape(b).items())))
        self.ok(stage + ": both computers hold the same packages", self.a.packages() == self.b.packages(),
                (self.a.packages(), self.b.packages()))
        # A picture the sync tool deleted everywhere (its package deleted on one side, the
        # document edited on the other) can't come back; every other one must be there.
        missing = {pathlib.PurePath(s.split("#")[0]).name: i for n in (a, b) for i, doc in n.items()
                   for s in strings(doc) if s.startswith("quillstone-image:")}
        gone = sorted(i for name, i in missing.items() if name not in self.pictures_delivered)
        if gone:
            print("note: %s: %s: the sync tool deleted pictures of %s on both sides"
                  % (self.name, stage, gone))
        dangling = sorted(i for name, i in missing.items() if name in self.pictures_delivered)
        self.ok(stage + ": every picture delivered is in its documents", not dangling, dangling)

    def nothing_lost(self, stage, docs):
        """Each text a writer saved, in a document they didn't delete, is in a document on both
        computers."""
        for n, d in docs.items():
            held = set(s for doc in d.values() for s in strings(doc.get("nodes")))
            lost = sorted(set().union(*self.saved.values()) - held)
            self.ok(stage + ": every text saved is in a document on " + n, not lost, lost)

    def merge(self):
        """The computers meet again; then a third round of writing on both, in turn, and a
        last look."""
        self.together()
        self.converge("merge")
        for turn, side in enumerate(self.computers()):
            self.look()
            for index, doc_id in enumerate(sorted(self.views[side.name])):
                if index % 2 == turn:
                    self.edit(side, doc_id)
            self.sync()
        answers = self.converge("third round")
        left = self.a.conflict_files() + self.b.conflict_files()
        self.ok("third round: no version file is left once every package was written again", not left, left)
        return answers
