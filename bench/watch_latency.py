#!/usr/bin/env python3
"""Time from a change on disk to its record on quillstone-cli watch's output, in a workspace of
many documents (the cached benchmark workspace; generate it first with quillstone_bench or
quillstone-bench-generate). Each round adds a package the way a sync tool does (a folder renamed
into place) and then removes it; both must be reported.

    python3 bench/watch_latency.py build-release [/tmp/quillstone-bench-10000-1]
"""
import json, os, pathlib, select, shutil, statistics, subprocess, sys, tempfile, time

build = pathlib.Path(sys.argv[1])
folder = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else "/tmp/quillstone-bench-10000-1")
root, support = folder / "Quillstone", folder / "support"
scratch = pathlib.Path(tempfile.mkdtemp(prefix="qs-latency-"))
env = dict(os.environ, QUILLSTONE_DEBUG="1", QUILLSTONE_CONFIG=str(scratch / "config"))
watch = subprocess.Popen([str(build / "quillstone-cli"), "--root", str(root), "--support", str(support), "watch"],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
started = time.time()
watch.stderr.readline()  # "watching …": the workspace has been read and the watch runs
ready = time.time() - started

def next_line(timeout):
    readable, _, _ = select.select([watch.stdout], [], [], timeout)
    return watch.stdout.readline() if readable else None

added, removed = [], []
for round_ in range(10):
    doc = {"id": "latency-%d" % round_, "title": "Latency %d" % round_, "nodes": [{"text": "x"}]}
    staged = scratch / ("Latency %d.quillstone" % round_)
    staged.mkdir()
    (staged / "document.json").write_text(json.dumps({"format": "quillstone/document", "doc": doc}))
    target = root / staged.name
    t0 = time.time()
    staged.rename(target)
    line = next_line(10)
    added.append(time.time() - t0)
    assert line and json.loads(line)[0]["id"] == doc["id"], line
    t0 = time.time()
    shutil.rmtree(target)
    line = next_line(10)
    removed.append(time.time() - t0)
    assert line and json.loads(line)[0]["deleted"] is True, line
watch.terminate()
watch.wait(10)
shutil.rmtree(scratch, ignore_errors=True)
count = sum(1 for _ in root.glob("*.quillstone")) + sum(1 for _ in (root / "Archive").glob("*.quillstone"))
print("documents: %d; start to watching: %.2f s" % (count, ready))
for name, values in (("added", added), ("removed", removed)):
    print("%-8s median %.3f s, min %.3f s, max %.3f s" % (name, statistics.median(values), min(values), max(values)))
