#!/usr/bin/env python3
"""Two computers, one writing folder: two real Syncthing instances on loopback, quillstone-cli on
each side, and the cases where the sync tool sets a version aside. Every scenario writes apart,
meets, lets both programs look, then writes a third round on both; lane.Run checks that nothing
either side wrote is lost and that both sides end up holding the same.

usage: two_computers.py BUILD_DIR [SCENARIO…]"""
import os, shutil, sys, tempfile, time, traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lane import CONFLICT_DOC, Checks, Run  # noqa: E402
import syncthing  # noqa: E402


def tool_check(run):
    """The lane's own footing: files travel both ways, a pause keeps them apart, the same bytes
    written apart make no conflict, and a real conflict leaves a version inside a package."""
    a, b, pair = run.a, run.b, run.pair
    (a.root / "plain-a.txt").write_text("from a")
    run.sync()
    (b.root / "plain-b.txt").write_text("from b")
    run.sync()
    run.ok("a file travels from a to b", (b.root / "plain-a.txt").read_text() == "from a")
    run.ok("a file travels from b to a", (a.root / "plain-b.txt").read_text() == "from b")
    run.apart()
    (a.root / "apart.txt").write_text("written apart")
    for side in pair.both():
        side.scan(run.name)
    run.ok("a paused pair stays apart",
           not (b.root / "apart.txt").exists() and not pair.a.connected(pair.b.id))
    for side in (a, b):
        (side.root / "same.txt").write_text("the same bytes on both")
    run.together()
    run.ok("a resumed pair meets again", (b.root / "apart.txt").exists())
    run.ok("the same bytes written apart make no conflict", not a.conflict_files(), a.conflict_files())

    run.new(a, "probe", "Probe")
    run.sync()
    run.look()
    run.apart()
    run.edit(a, "probe")
    run.edit(b, "probe")
    run.together()
    versions = [p for p in a.conflict_files() if CONFLICT_DOC.search(p)]
    run.ok("edits made apart leave a version of document.json inside the package",
           len(versions) == 1 and versions[0].startswith("Probe.quillstone/")
           and b.conflict_files() == a.conflict_files(), (a.conflict_files(), b.conflict_files()))


def both_edit(run):
    a, b = run.a, run.b
    run.new(a, "harbour", "Harbour notes")
    run.sync()
    run.look()
    run.apart()
    run.edit(a, "harbour")
    run.edit(b, "harbour")
    run.together()
    # A scan only reports what it finds: the version file stays where it is.
    files = a.conflict_files()
    scanned = a.cli("scan")
    run.ok("scan reports the version and leaves it in place",
           scanned.returncode == 0 and ".sync-conflict-" in scanned.stdout and a.conflict_files() == files
           and not a.trashed(), scanned.stdout)
    run.merge()


def both_untitled(run):
    """Two new documents with one title; b's watch is running when the computers meet."""
    a, b = run.a, run.b
    run.apart()
    run.new(a, "note-a", "Untitled")
    run.new(b, "note-b", "Untitled")
    watch = b.watch()
    try:
        run.pair.resume()
        run.settle_until(lambda: not any(CONFLICT_DOC.search(p) for p in b.conflict_files()),
                         "b's watch brings in the version the sync tool set aside", watch.news)
    finally:
        status = watch.stop()
    run.ok("b's watch hands over a's new document", "note-a" in watch.ids(), watch.batches)
    run.ok("b's watch ends when asked", status == 0, status)
    run.merge()


def rename_and_edit(run):
    a, b = run.a, run.b
    run.new(a, "light", "Lighthouse")
    run.sync()
    run.look()
    run.apart()
    run.edit(a, "light", title="The lighthouse keeper", text=False)
    run.edit(b, "light")
    run.merge()


def delete_and_edit(run):
    a, b = run.a, run.b
    run.new(b, "ferry", "Ferry timetable")
    run.new(b, "quay", "Quay")
    run.sync()
    run.look()
    run.apart()
    run.delete(a, "ferry")
    run.edit(b, "ferry")
    run.edit(a, "quay")
    run.merge()


def archive_and_edit(run):
    a, b = run.a, run.b
    run.new(a, "ledger", "Old ledger")
    run.sync()
    run.look()
    run.apart()
    run.edit(a, "ledger", archived=True, text=False)
    run.edit(b, "ledger")
    run.merge()


def picture_and_text(run):
    a, b = run.a, run.b
    run.new(a, "garden", "Garden")
    run.sync()
    run.look()
    run.apart()
    run.edit(a, "garden", text=False, image=True)
    run.edit(b, "garden")
    run.merge()


def pictures_renamed_and_deleted(run):
    a, b = run.a, run.b
    run.new(a, "atlas", "Atlas", image=True)
    run.new(a, "sketch", "Sketchbook", image=True)
    run.sync()
    run.look()
    run.apart()
    run.edit(a, "atlas", title="Atlas of islands", text=False)
    run.delete(a, "sketch")
    run.edit(b, "atlas")
    run.edit(b, "sketch")
    run.merge()


def save_while_delivering(run):
    """b's library is held open (a window) while a's edits arrive. One lands before b saves from
    what it read earlier. The other may land before, during or after b's save (the sync tool
    may even replace the file just saved); b's writer saves once more after it, and whichever
    way it went, nothing either side wrote is lost."""
    a, b, pair = run.a, run.b, run.pair
    run.new(a, "river", "River")
    run.new(a, "reeds", "Reeds")
    run.sync()
    run.look()
    window = b.bridge()
    try:
        window.ask({"op": "open"})
        run.edit(a, "river")
        run.sync()
        # The sync tool's file of a delivery under way is its own: never read, moved or removed.
        partial = b.root / "River.quillstone" / ".syncthing.document.json.tmp"
        partial.write_text('{"app": "half of a delivery')
        run.edit(b, "river", via=window)
        run.ok("a save leaves the sync tool's file of a delivery under way alone",
               partial.exists() and partial.read_text() == '{"app": "half of a delivery')
        partial.unlink()
        run.edit(a, "reeds")
        pair.a.scan(run.name)  # b's copy is on its way
        run.edit(b, "reeds", via=window)
        run.sync()
        run.edit(b, "reeds", via=window)
    finally:
        window.close()
    run.merge()


SCENARIOS = [
    ("tool", 1, tool_check),
    ("both-edit", 2, both_edit),
    ("untitled", 3, both_untitled),
    ("rename", 4, rename_and_edit),
    ("delete", 5, delete_and_edit),
    ("archive", 6, archive_and_edit),
    ("picture", 7, picture_and_text),
    ("pictures-moved", 8, pictures_renamed_and_deleted),
    ("delivering", 9, save_while_delivering),
]


def main():
    started = time.monotonic()
    build, chosen = sys.argv[1], set(sys.argv[2:])
    scenarios = [s for s in SCENARIOS if not chosen or s[0] in chosen]
    work = tempfile.mkdtemp(prefix="qs-sync-")
    pair = syncthing.Pair(work, {name: Run.folders(name, work) for name, _, _ in scenarios})
    check = Checks()
    try:
        pair.start()
        for name, seed, scenario in scenarios:
            run = Run(name, seed, pair, build, work, check)
            failed, began = len(check.failures), time.monotonic()
            try:
                scenario(run)
            except Exception:
                check("%s: runs to the end" % name, False, traceback.format_exc())
            print("%s: %.1f s" % (name, time.monotonic() - began))
            if len(check.failures) > failed:
                for side in run.computers():
                    print("--- %s on %s holds: %s\n    its Trash: %s"
                          % (name, side.name, side.files(), side.trashed()))
    except syncthing.Failure as e:
        check("the sync tool runs", False, e)
    finally:
        pair.stop()
    print("sync lane: %d scenarios in %.1f s" % (len(scenarios), time.monotonic() - started))
    if check.failures:
        print("the folders stay in " + work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
