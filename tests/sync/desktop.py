#!/usr/bin/env python3
# Two computers, one writing folder, with the desktop program open on the second: its writer edits
# while the computers are apart, and the program's folder watch brings in what the sync tool sets
# aside while the page is open. The page must be handed every document the library comes to hold,
# versions included; then both sides are checked as in two_computers.py.
#     desktop.py BUILD_DIR SOURCE_DIR
import json, pathlib, sys, tempfile, traceback

from computer import Computer, words
from harness import Program, poll  # (on the path once computer is imported)
from lane import CONFLICT_DOC, Run, docs_of, run_lane

FOLDER = "desktop"
app = Program("tests/sync/page")


def reports(label):
    return [json.loads(l[len(label) + 1:]) for l in app.reports(label + " ")]


def page_view():
    """id → texts of every document the page holds, from what it was handed and what it saved."""
    held = {}
    for label, _, body in (l.partition(" ") for l in app.page_lines()):
        if label in ("WROTE", "WROTE-LATER"):
            held.update(json.loads(body))
        for d in json.loads(body) if label in ("OPENED", "EXTERNAL") else []:
            if d["deleted"]:
                held.pop(d["id"], None)
            else:
                held[d["id"]] = d["texts"]
    return held


def lane(pair, check):
    run = Run(FOLDER, 11, pair, app.build, pair.work, check)
    run.b = Computer("b", app.work, app.build)  # the desktop's own folders
    a, seen_versions = run.a, set()

    def waited(label):
        """Waits for the page's report of `label`; its texts count as saved on b."""
        if not app.wait_for_line("Quillstone page: E2E " + label + " ", 90):
            raise AssertionError("the page never reported %s (status %s)" % (label, app.process.poll()))
        for doc_id, texts in reports(label)[-1].items():
            run.saved.setdefault(("b", doc_id), set()).update(texts)

    def settle_until(what):
        """The sync tool goes on until the page holds every text written on a and no version is
        left; the program's next move shows in its output, or a scan finds it."""
        def handed():
            versions = [p for side in run.computers() for p in side.conflict_files() if CONFLICT_DOC.search(p)]
            seen_versions.update(versions)
            held = {t for texts in page_view().values() for t in texts}
            return set().union(*(t for (side, _), t in run.saved.items() if side == "a")) <= held and not versions
        def news(seconds):
            mark = app.mark()
            poll(lambda: app.mark() > mark, seconds, step=0.05)
        return run.settle_until(handed, what, news)

    try:
        for doc_id, title in (("harbour", "Harbour notes"), ("light", "Lighthouse"), ("garden", "Garden"),
                              ("ferry", "Ferry timetable")):
            run.new(a, doc_id, title)
        run.sync()
        run.apart()
        run.edit(a, "harbour")
        run.edit(a, "light", title="The lighthouse keeper", text=False)
        run.edit(a, "garden", text=False, image=True)
        run.delete(a, "ferry")
        run.new(a, "note-a", "Untitled")
        clock = run.now()
        (app.web / "sync-plan.js").write_text("window.SYNC_PLAN = %s;\n" % json.dumps({
            "edits": {i: "%s b-apart %s" % (FOLDER, words(run.rng, 5)) for i in ("harbour", "light", "garden", "ferry")},
            "created": [{"id": "note-b", "title": "Untitled", "created": clock, "updated": clock,
                         "nodes": [{"id": "p1", "text": "%s b-new %s" % (FOLDER, words(run.rng, 5))}]}],
            "clock": clock, "signal": "bell", "later": "%s b-later %s" % (FOLDER, words(run.rng, 4))}))
        app.start()
        waited("WROTE")
        run.ok("the page opened the documents the sync tool brought",
               {d["id"] for d in reports("OPENED")[0]} == {"harbour", "light", "garden", "ferry"})

        # Together again: the program on b brings in what the sync tool set aside, while open.
        pair.set_paused(False)
        settle_until("the page is handed every text written on a")
        a.open()
        run.sync()

        # A third round: a signal from a, the page writes in every document, then a writes too.
        run.new(a, "bell", "Bell")
        run.sync()
        waited("WROTE-LATER")
        run.sync()
        run.look([a])
        for doc_id in sorted(run.views["a"]):
            run.edit(a, doc_id)
        settle_until("the page is handed the third round written on a")
        run.ok("the program ends when asked", app.quit() is not None)

        final = {i: [n["text"] for n in d.get("nodes", []) if "text" in n]
                 for i, d in docs_of(run.converge("after the desktop")["b"]).items()}
        held = page_view()
        run.ok("the page holds every document the library holds, versions included", final == held,
               sorted(set(final) ^ set(held)) or [i for i in final if final[i] != held.get(i)])
        trashed = set(a.trashed()) | set(run.b.trashed())
        gone = sorted(p for p in seen_versions - set(a.conflict_files()) - set(run.b.conflict_files()) if p not in trashed)
        run.ok("every version file brought in is in a Trash", not gone, gone)
        # The program may take a version in before a look sees it; its Trash then tells.
        run.ok("the sync tool set versions aside",
               bool(seen_versions) or any(CONFLICT_DOC.search(p) for p in trashed), sorted(trashed))
    except Exception:
        run.ok("runs to the end", False, traceback.format_exc())
    if app.process and app.process.poll() is None:
        app.quit()
    if check.failures:
        for side in run.computers():
            print("--- %s holds: %s\n    its Trash: %s" % (side.name, side.files(), side.trashed()))
        print("--- program output ---\n" + "\n".join(app.lines()[-60:]))


if __name__ == "__main__":
    work = pathlib.Path(tempfile.mkdtemp(prefix="qs-sync-desktop-"))
    sys.exit(run_lane("sync lane, desktop", work, {FOLDER: (Run.folders(FOLDER, work)[0], app.work / "Writing")},
                      lane, keep=[app.work]))
