#!/usr/bin/env python3
# Two computers, one writing folder: two real Syncthing instances on loopback, quillstone-cli on
# each side, and the cases where the sync tool sets a version aside. Every scenario writes apart,
# meets, lets both programs look, then writes a third round on both; lane.Run checks that nothing
# either side wrote is lost and that both sides end up holding the same.
#     two_computers.py BUILD_DIR [SCENARIO…]
import sys, tempfile, time, traceback

from computer import Bridge, Watch
from lane import CONFLICT_DOC, Run, run_lane


def written_apart(made, apart, met=None):
    """A scenario: the documents `made` ((side, id, title[, with a picture])) are synced; then, apart,
    each side's steps ((side, "edit" or "delete", id[, options])); `met(run)` once they meet, before
    the merge."""
    def scenario(run):
        for side, *args in made:
            run.new(getattr(run, side), *args)
        run.sync()
        run.look()
        run.apart()
        for side, verb, doc_id, *options in apart:
            getattr(run, verb)(getattr(run, side), doc_id, **(options[0] if options else {}))
        if met:
            run.together()
            met(run)
        run.merge()
    return scenario


def footing(run):
    """The lane's own footing: edits made apart leave a version of document.json inside the package,
    on both sides. A scan only reports it: the version file stays where it is."""
    a, b = run.a, run.b
    files = a.conflict_files()
    versions = [p for p in files if CONFLICT_DOC.search(p)]
    run.ok("edits made apart leave a version of document.json inside the package",
           len(versions) == 1 and versions[0].startswith("Harbour notes.quillstone/")
           and b.conflict_files() == files, (files, b.conflict_files()))
    scanned = a.cli("scan")
    run.ok("scan reports the version and leaves it in place", scanned.returncode == 0 and ".sync-conflict-" in
           scanned.stdout and a.conflict_files() == files and not a.trashed(), scanned.stdout)


def both_untitled(run):
    """Two new documents with one title; b's watch is running when the computers meet."""
    a, b = run.a, run.b
    run.apart()
    run.new(a, "note-a", "Untitled")
    run.new(b, "note-b", "Untitled")
    watch = Watch(b)
    try:
        run.pair.set_paused(False)
        run.settle_until(lambda: not any(CONFLICT_DOC.search(p) for p in b.conflict_files()),
                         "b's watch brings in the version the sync tool set aside", watch.news)
    finally:
        status = watch.stop()
    run.ok("b's watch hands over a's new document", "note-a" in watch.ids(), watch.batches)
    run.ok("b's watch ends when asked", status == 0, status)
    run.merge()


def save_while_delivering(run):
    """b's library is held open (a window) while a's edits arrive. One lands before b saves from what
    it read earlier. The other may land before, during or after b's save (the sync tool may even
    replace the file just saved); b's writer saves once more after it, and whichever way it went,
    nothing either side wrote is lost."""
    a, b = run.a, run.b
    run.new(a, "river", "River")
    run.new(a, "reeds", "Reeds")
    run.sync()
    run.look()
    window = Bridge(b)
    try:
        window.ask({"op": "open"})
        run.edit(a, "river")
        run.sync()
        # The sync tool's file of a delivery under way is its own: never read, moved or removed.
        partial = b.root / "River.quillstone/.syncthing.document.json.tmp"
        partial.write_text('{"app": "half of a delivery')
        run.edit(b, "river", via=window)
        run.ok("a save leaves the sync tool's file of a delivery under way alone",
               partial.exists() and partial.read_text() == '{"app": "half of a delivery')
        partial.unlink()
        run.edit(a, "reeds")
        run.pair.a.scan(run.name)  # b's copy is on its way
        run.edit(b, "reeds", via=window)
        run.sync()
        run.edit(b, "reeds", via=window)
    finally:
        window.close()
    run.merge()


SCENARIOS = [
    ("both-edit", 2, written_apart([("a", "harbour", "Harbour notes")],
                                   [("a", "edit", "harbour"), ("b", "edit", "harbour")], footing)),
    ("untitled", 3, both_untitled),
    ("rename", 4, written_apart([("a", "light", "Lighthouse")], [
        ("a", "edit", "light", dict(title="The lighthouse keeper", text=False)), ("b", "edit", "light")])),
    ("delete", 5, written_apart([("b", "ferry", "Ferry timetable"), ("b", "quay", "Quay")],
                                [("a", "delete", "ferry"), ("b", "edit", "ferry"), ("a", "edit", "quay")])),
    ("archive", 6, written_apart([("a", "ledger", "Old ledger")], [
        ("a", "edit", "ledger", dict(archived=True, text=False)), ("b", "edit", "ledger")])),
    ("picture", 7, written_apart([("a", "garden", "Garden")], [
        ("a", "edit", "garden", dict(text=False, image=True)), ("b", "edit", "garden")])),
    ("pictures-moved", 8, written_apart([("a", "atlas", "Atlas", True), ("a", "sketch", "Sketchbook", True)], [
        ("a", "edit", "atlas", dict(title="Atlas of islands", text=False)), ("a", "delete", "sketch"),
        ("b", "edit", "atlas"), ("b", "edit", "sketch")])),
    ("delivering", 9, save_while_delivering),
]


def scenarios(pair, check):
    for name, seed, scenario in SCENARIOS:
        run = Run(name, seed, pair, sys.argv[1], pair.work, check)
        failed, began = len(check.failures), time.monotonic()
        try:
            scenario(run)
        except Exception:
            check("%s: runs to the end" % name, False, traceback.format_exc())
        print("%s: %.1f s" % (name, time.monotonic() - began))
        for side in run.computers() if len(check.failures) > failed else []:
            print("--- %s on %s holds: %s\n    its Trash: %s" % (name, side.name, side.files(), side.trashed()))


if __name__ == "__main__":
    SCENARIOS = [s for s in SCENARIOS if not sys.argv[2:] or s[0] in sys.argv[2:]]
    work = tempfile.mkdtemp(prefix="qs-sync-")
    sys.exit(run_lane("sync lane, %d scenarios" % len(SCENARIOS), work,
                      {name: Run.folders(name, work) for name, _, _ in SCENARIOS}, scenarios))
