#!/usr/bin/env python3
# The real program under everything at once, for a while: two windows whose pages save, delete,
# ask Claude and keep restore points, while this script, as another program, edits, adds, renames
# and deletes packages, drops conflict copies, answers Claude (and sends it replies that can't be
# used), and half way moves the writing folder through the program's own Move Writing Folder. What
# happens is drawn from a fixed seed (QS_SOAK_SEED) for QS_SOAK_SECONDS (30 by default).
# Afterwards the disk, the ledger, the search index and what each page was handed agree, and
# nothing written is lost.
# X11 only, not in the Wayland lane: it types the new folder into the folder chooser, and weston's
# headless backend has no keyboard (the chooser's return on Wayland: accessibility_e2e).
import json, os, random, re, shutil, sqlite3, time

from harness import Checks, Program, focus, poll

SEED = int(os.environ.get("QS_SOAK_SEED") or 20261207)
SECONDS = float(os.environ.get("QS_SOAK_SECONDS") or 30)
COPY, VERSION = " (conflicted copy 2026-12-07", re.compile(r" \(version from [0-9: -]+\)$")
rng = random.Random(SEED)
app = Program("tests/e2e/soak_page", {"claudeOnMac": True})
app.env["QUILLSTONE_SPOTLIGHT"] = "1"  # the search index is kept although QUILLSTONE_DEBUG is set
support, root, moved_to = app.work / "Support", app.work / "Writing", app.work / "Moved"
check = Checks(app)


def put_package(package, doc):
    """Writes a package as a sync tool does: whole, built beside the folder and renamed in."""
    staged = app.work / ("staged-" + doc["id"])
    shutil.rmtree(staged, ignore_errors=True)
    staged.mkdir()
    (staged / "document.json").write_text(json.dumps({"format": "quillstone/document", "doc": doc}))
    os.replace(staged / "document.json", package / "document.json") if package.exists() else os.rename(staged, package)
    shutil.rmtree(staged, ignore_errors=True)


read_doc = lambda package: json.loads((package / "document.json").read_text())["doc"]
packages = lambda folder: [p for p in folder.glob("*.quillstone") if not p.name.startswith(".")]
reported = lambda start, since=0: any(l.startswith(start) for l in app.page_lines(since))


def last_lines(kind):  # by window, the last line of `kind` it reported
    return {who: rest[len(kind) + 1:] for who, _, rest in (l.partition(" ") for l in app.page_lines())
            if rest.startswith(kind + " ")}


# The two windows' home documents: window b opens on its own. Both pages count from one moment.
app.cli("write", payload=json.dumps({"docs": [{"id": i, "rev": 1, "doc": {"id": i, "title": "Home " + i[0], "nodes": []}}
                                              for i in ("a-home", "b-home")]}))
start_ms = int(time.time() * 1000) + 8000
(app.web / "soak-config.js").write_text("window.SOAK = %s;\n" % json.dumps({"seed": SEED, "start": start_ms,
                                                                          "seconds": SECONDS}))
app.start()
ready = poll(lambda: reported("a LOADED"), 60)
if ready:
    app.launch_again(str(root / "Home b.quillstone"))
    ready = poll(lambda: reported("b LOADED"), 60)
if not ready:
    check("the windows did not load (status %s)" % app.process.poll(), False)
    check.end()
time.sleep(max(0.0, start_ms / 1000 - time.time()))

# id → title as this program left it (None once deleted); id → its package now; conflict copy → its
# document.json as dropped (a move leaves copies where they are); request id → ("valid" or the
# reason it is refused, the writing folder then)
outside, outside_at, copies, answered = {}, {}, {}, {}
claude = lambda: root / ".quillstone/claude"
moved, step, began = False, 0, time.monotonic()
while time.monotonic() - began < SECONDS:
    step += 1
    key = "o%d" % rng.randrange(8)
    title = "%ss%d" % (key, step)
    present = key in outside_at and outside_at[key].exists()
    roll = rng.randrange(10)
    if roll <= 2:  # edited in place, or added
        package = outside_at[key] if present else root / (title + ".quillstone")
        put_package(package, {"id": key, "title": title, "nodes": [{"id": "n1", "text": title}]})
        outside_at[key], outside[key] = package, title
    elif roll == 3 and present:  # renamed
        outside_at[key] = outside_at[key].rename(root / ("renamed %s.quillstone" % title))
    elif roll == 4 and present:  # deleted
        shutil.rmtree(outside_at.pop(key))
        outside[key] = None
    elif roll == 5:  # a sync tool's conflict copy of any document, holding the same id
        originals = sorted(p for p in packages(root) if COPY not in p.name)
        if originals:
            original = rng.choice(originals)
            copy = root / ("%s%s %d).quillstone" % (original.stem, COPY, step))
            try:
                shutil.copytree(original, copy)
                copies[copy] = (copy / "document.json").read_text()
            except OSError:  # the original was being replaced right then
                shutil.rmtree(copy, ignore_errors=True)
    elif roll in (6, 7):  # Claude answers what was asked, now and then with something unusable
        outbox = claude() / "outbox"
        for request_id in sorted(p.stem for p in outbox.glob("r-*.json") if p.stem not in answered):
            body = {"v": 1, "requestId": request_id, "bullets": ["On " + request_id], "from": "Claude"}
            kind = min(rng.randrange(6), 2)
            body.update(({"v": 2}, {"requestId": "r-00000000-0000-4000-8000-000000000000"}, {})[kind])
            answered[request_id] = (("it isn't version 1", "its requestId doesn't match its name", "valid")[kind], root)
            staged = claude() / ("staged-%d.tmp" % step)
            staged.write_text(json.dumps(body))
            os.rename(staged, claude() / "inbox" / (request_id + ".json"))
        if rng.randrange(4) == 0 and (claude() / "inbox").exists():
            (claude() / "inbox" / ("notes-%d.json" % step)).write_text("{}")
    if not moved and time.monotonic() - began > SECONDS / 2:
        # The program's own Move Writing Folder, as a person would: the menu's action, the folder
        # typed into the chooser, the result dismissed. Nothing else happens meanwhile.
        moved, mark = True, app.mark()
        moved_to.mkdir()
        app.activate("move-writing-folder")
        app.steps(focus("^Move Writing Folder$"), ("type", "--delay", "20", str(moved_to) + "/"), 0.5, ("key", "Return"))
        if not check("the move ends with both pages reloaded on the new folder", poll(lambda: all(
                reported("%s LOADED %s \u2192 Moved" % (w, app.work.name), mark) for w in "ab"), 60),
                app.page_lines(mark)[-6:]):
            break
        app.xdo("key", "Return")  # the result
        root = moved_to
        outside_at = {k: root / p.name for k, p in outside_at.items()}
    time.sleep(rng.uniform(0, 0.08))

# Everything settles: the pages finish, a last package from outside reaches both, the replies are
# taken.
check("both pages wrote until their time was up", poll(lambda: set(last_lines("STOPPED")) == {"a", "b"}, 60),
      last_lines("STOPPED"))
put_package(root / "The end.quillstone", {"id": "soak-end", "title": "The end", "nodes": []})
outside["soak-end"] = "The end"
check("the last outside change reached both pages", poll(lambda: set(last_lines("GOT")) == {"a", "b"}, 30),
      last_lines("GOT"))
poll(lambda: not any((claude() / "inbox").glob("*.json")), 20)


def copy_settled(copy):
    """A copy holding what the program last saw of its document waits a few seconds before it is
    kept as a version; one whose document was deleted stays."""
    copied_id = json.loads(copies[copy])["doc"]["id"]
    return not copy.exists() or not any(p != copy and COPY not in p.name and read_doc(p)["id"] == copied_id
                                        for p in packages(copy.parent))


poll(lambda: all(copy_settled(c) for c in copies), 30)
check("the program ends on SIGTERM", app.quit(20) is not None)

# ---- what the windows did, by their reports
saved = {}  # a window's document → its last title, or None once deleted
took, refused, asked = set(), set(), set()
for who, word, rest in ((l.split(" ", 2) + ["", ""])[:3] for l in app.page_lines()):
    if word in ("WROTE", "DELETED"):
        doc_id, _, title = rest.partition(" ")
        saved[doc_id] = title if word == "WROTE" else None
    elif word in ("TOOK", "REFUSED"):
        (took if word == "TOOK" else refused).add(rest.split(" ", 1)[0])
    elif word == "ASKED":
        asked.add(rest)
    elif word in ("FAIL", "STALE"):
        check("window %s: %s %s" % (who, word, rest), False)


differ = lambda have, want: {i: (have.get(i), want.get(i)) for i in set(have) | set(want) if have.get(i) != want.get(i)}


# ---- the disk
disk, paths = {}, {}
for package in (p for p in packages(root) if COPY not in p.name):
    doc = read_doc(package)
    if doc["id"] in disk:
        check("two packages hold %s: %s and %s" % (doc["id"], paths[doc["id"]], package), False)
    disk[doc["id"]], paths[doc["id"]] = doc["title"], str(package)
left = sorted(p.name for p in packages(app.work / "Writing") if COPY not in p.name)
check("the move took every document along", not left, left)
for what, want in (("every window's last save is on disk", saved), ("the other program's documents are as it left them",
                                                                       outside)):
    wrong = {i: (t, disk.get(i)) for i, t in want.items() if disk.get(i) != t}
    check("%s (%d documents)" % (what, len(want)), not wrong, wrong)


# A conflict copy holding other writing than its document became a document of its own, and went
# to the Trash with the copies that held the same; one whose document was deleted stays.
def bare(doc):
    doc = {k: v for k, v in doc.items() if k not in ("id", "updated")}
    return json.dumps(dict(doc, title=VERSION.sub("", doc.get("title", ""))), sort_keys=True)


copied = {bare(json.loads(text)["doc"]) for text in copies.values()}
strays = [p.name for p in packages(root) if VERSION.search(read_doc(p).get("title", "")) and bare(read_doc(p)) not in copied]
trashed = {p.name.split(".quillstone")[0] for p in (app.work / "data/Trash/files").glob("*")}
# (The move leaves in the old folder a copy it wasn't looking after: one of a deleted document.)
unkept = [str(c) for c, text in copies.items() if c.stem not in trashed
          and (not c.exists() or c.parent == root and json.loads(text)["doc"]["id"] in disk)]
check("%d conflict copies kept as documents or set aside in the Trash" % len(copies),
      copies and not unkept and not strays, (unkept, strays) if copies else "none made")

# ---- what the pages were handed, the ledger and the search index
views = last_lines("VIEW")
for who in "ab":
    view = json.loads(views.get(who, "null"))
    check("window %s shows what is on disk" % who, view is not None and not differ(view, disk), differ(view or {}, disk))
ledger = json.loads((support / "ledger.json").read_text())
ledger = {i: p for i, p in ledger.items() if not i.startswith("_") and os.path.exists(p)}
check("the ledger and the disk agree", ledger == paths, differ(ledger, paths))
with sqlite3.connect("file:%s?mode=ro" % (support / "search-index.sqlite3"), uri=True) as db:
    rows = {i: (t, p) for i, t, p in db.execute("SELECT id, title, path FROM documents")}
    found = lambda t: [r[0] for r in db.execute(
        "SELECT d.id FROM documents_fts JOIN documents d ON d.rowid = documents_fts.rowid "
        "WHERE documents_fts MATCH ?", ('"%s"' % t,))]
    expected = {i: (disk[i], paths[i]) for i in disk}
    check("the search index holds every document, under its package, and no other", rows == expected,
          differ(rows, expected))
    missed = [t for i, t in disk.items() if found(t) != [i]]
    # A title gone from the disk may still be a version's, before its suffix.
    gone = [t for t in list(saved.values()) + list(outside.values())
            if t and t not in disk.values() and any(not VERSION.search(disk.get(i, "")) for i in found(t))]
    check("every title is found, and no title gone from the disk", not missed and not gone, (missed, gone))

# ---- Claude
wrong = []
for request_id, (kind, at) in answered.items():
    exchange = at / ".quillstone/claude"
    ignored = exchange / "inbox/ignored"
    reply, request = exchange / "inbox" / (request_id + ".json"), exchange / "outbox" / (request_id + ".json")
    set_aside = (ignored / (request_id + ".json")).exists()
    log = (ignored / "log.txt").read_text() if (ignored / "log.txt").exists() else ""
    if kind != "valid":
        if request_id in took | refused or not set_aside:
            wrong.append("%s (%s) was not refused" % (request_id, kind))
        elif "%s.json  %s" % (request_id, kind) not in log:
            wrong.append("%s was refused without its reason (%s) in the log" % (request_id, kind))
    elif request_id in took and (reply.exists() or request.exists()):
        wrong.append("%s was taken but its files stay" % request_id)
    elif request_id in refused and (not set_aside or request.exists()):
        wrong.append("%s was refused by the page but not set aside" % request_id)
    elif request_id not in took | refused:
        wrong.append("%s never reached its page" % request_id)
check("%d Claude replies (%d taken, %d refused by the page) did what their checks say"
      % (len(answered), len(took), len(refused)), answered and not wrong, wrong or "none written")
notes = [p for r in (app.work / "Writing", root) for p in (r / ".quillstone/claude/inbox").glob("notes-*.json")]
check("files in the inbox that aren't replies are set aside", not notes, notes)
check("the restore points were kept", any((support / "restore-points").glob("*"))
      and "SNAPSHOT false" not in "\n".join(app.page_lines()))
print("soak: seed %d, %d steps, %d documents on disk, %d conflict copies, %d requests"
      % (SEED, step, len(disk), len(copies), len(asked)))
if check.failures:
    print("seed %d (QS_SOAK_SEED)" % SEED)
check.end(quit=False)
