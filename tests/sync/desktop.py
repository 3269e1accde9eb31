#!/usr/bin/env python3
"""Two computers, one writing folder, with the desktop program open on the second: its writer
edits while the computers are apart, and the program's folder watch brings in what the sync tool
sets aside while the page is open. The page must be handed every document the library comes to
hold, versions included; then both sides are checked as in two_computers.py.

usage: desktop.py BUILD_DIR SOURCE_DIR"""
import json, pathlib, shutil, sys, tempfile, time, traceback

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "e2e")]
from computer import Computer, words  # noqa: E402
from harness import Program  # noqa: E402
from runner import wait_until  # noqa: E402
from lane import CONFLICT_DOC, Checks, Run, docs_of  # noqa: E402
import syncthing  # noqa: E402

FOLDER = "desktop"


class Page:
    """What the page was handed and what it saved, from its reports."""

    def __init__(self, app):
        self.app = app

    def reports(self, label):
        return [json.loads(l[len(label) + 1:]) for l in self.app.page_lines() if l.startswith(label + " ")]

    def view(self):
        """id → texts of every document the page holds."""
        held = {}
        for line in self.app.page_lines():
            label, _, body = line.partition(" ")
            if label in ("OPENED", "EXTERNAL"):
                for d in json.loads(body):
                    if d["deleted"]:
                        held.pop(d["id"], None)
                    else:
                        held[d["id"]] = d["texts"]
            elif label in ("WROTE", "WROTE-LATER"):
                held.update(json.loads(body))
        return held

    def wait(self, label, seconds=90):
        if not self.app.wait_for_line("Quillstone page: E2E " + label + " ", seconds):
            raise AssertionError("the page never reported %s (status %s)" % (label, self.app.process.poll()))
        return self.reports(label)[-1]


def main():
    started = time.monotonic()
    build, source = sys.argv[1], pathlib.Path(sys.argv[2])
    work = pathlib.Path(tempfile.mkdtemp(prefix="qs-sync-desktop-"))
    app = Program(build, source, source / "tests/sync/page")
    pair = syncthing.Pair(work, {FOLDER: (Run.folders(FOLDER, work)[0], app.work / "Writing")})
    check = Checks()
    run = Run(FOLDER, 11, pair, build, work, check)
    run.b = Computer("b", app.work, build)  # the desktop's own folders
    page = Page(app)
    a = run.a
    seen_versions = set()

    def settle_until(condition, what):
        def news(seconds):
            # The program's next move shows in its output, or a scan finds it.
            mark = app.mark()
            wait_until(lambda: app.mark() > mark, seconds, step=0.05)
        def watched():
            for side in run.computers():
                seen_versions.update(p for p in side.conflict_files() if CONFLICT_DOC.search(p))
            return condition()
        return run.settle_until(watched, what, news)

    def a_texts_handed():
        held = {t for texts in page.view().values() for t in texts}
        wanted = set().union(*(t for (side, _), t in run.saved.items() if side == "a"))
        left = [p for side in run.computers() for p in side.conflict_files() if CONFLICT_DOC.search(p)]
        return wanted <= held and not left

    try:
        pair.start()
        run.new(a, "harbour", "Harbour notes")
        run.new(a, "light", "Lighthouse")
        run.new(a, "garden", "Garden")
        run.new(a, "ferry", "Ferry timetable")
        run.sync()
        run.apart()
        run.edit(a, "harbour")
        run.edit(a, "light", title="The lighthouse keeper", text=False)
        run.edit(a, "garden", text=False, image=True)
        run.delete(a, "ferry")
        run.new(a, "note-a", "Untitled")
        clock = run.now()
        plan = {
            "edits": {i: "%s b-apart %s" % (FOLDER, words(run.rng, 5))
                      for i in ("harbour", "light", "garden", "ferry")},
            "created": [{"id": "note-b", "title": "Untitled", "created": clock, "updated": clock,
                         "nodes": [{"id": "p1", "text": "%s b-new %s" % (FOLDER, words(run.rng, 5))}]}],
            "clock": clock, "signal": "bell", "later": "%s b-later %s" % (FOLDER, words(run.rng, 4)),
        }
        (app.web / "sync-plan.js").write_text("window.SYNC_PLAN = %s;\n" % json.dumps(plan))
        app.start()
        for doc_id, texts in page.wait("WROTE").items():
            run.saved.setdefault(("b", doc_id), set()).update(texts)
        run.ok("the page opened the documents the sync tool brought",
               {d["id"] for d in page.reports("OPENED")[0]} == {"harbour", "light", "garden", "ferry"})

        # Together again: the program on b brings in what the sync tool set aside, while open.
        pair.resume()
        settle_until(a_texts_handed, "the page is handed every text written on a")
        a.open()
        run.sync()

        # A third round: a signal from a, the page writes in every document, then a writes too.
        run.new(a, "bell", "Bell")
        run.sync()
        for doc_id, texts in page.wait("WROTE-LATER").items():
            run.saved.setdefault(("b", doc_id), set()).update(texts)
        run.sync()
        run.look([a])
        for doc_id in sorted(run.views["a"]):
            run.edit(a, doc_id)
        settle_until(a_texts_handed, "the page is handed the third round written on a")
        run.ok("the program ends when asked", app.quit() is not None)

        answers = run.converge("after the desktop")
        final = {i: [n["text"] for n in d.get("nodes", []) if "text" in n]
                 for i, d in docs_of(answers["b"]).items()}
        held = page.view()
        run.ok("the page holds every document the library holds, versions included", final == held,
               sorted(set(final) ^ set(held)) or [i for i in final if final[i] != held.get(i)])
        trashed = set(a.trashed()) | set(run.b.trashed())
        left = set(a.conflict_files()) | set(run.b.conflict_files())
        gone = [p for p in sorted(seen_versions - left) if p not in trashed]
        run.ok("every version file brought in is in a Trash", not gone, gone)
        run.ok("the sync tool set versions aside", bool(seen_versions))
    except Exception:
        run.ok("runs to the end", False, traceback.format_exc())
    finally:
        if app.process and app.process.poll() is None:
            app.quit()
        pair.stop()
    print("sync lane, desktop: %.1f s" % (time.monotonic() - started))
    if check.failures:
        for side in run.computers():
            print("--- %s holds: %s\n    its Trash: %s" % (side.name, side.files(), side.trashed()))
        print("--- program output ---\n" + "\n".join(app.lines()[-60:]))
        print("the folders stay in %s and %s" % (work, app.work))
    else:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(app.work, ignore_errors=True)
    return check.report()


if __name__ == "__main__":
    sys.exit(main())
