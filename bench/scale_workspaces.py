#!/usr/bin/env python3
"""Workspaces of other sizes made from a generated one, for bench/scale.py.

    python3 bench/scale_workspaces.py SOURCE COUNT=FOLDER [COUNT=FOLDER ...]

SOURCE is a workspace made by quillstone-bench-generate (SOURCE/Quillstone, SOURCE/support).
A COUNT below the source's size takes its first packages by name; a larger one takes whole
copies of every package (the first copy as it is, each further one with "-k" after the package's
name and the document's id), archived ones staying in Archive/. Only what `open` and `scan` read is
copied: document.json and the images folder. A FOLDER that holds a "done" file is kept as it is.
"""
import os
import re
import shutil
import sys

FIRST_ID = re.compile(rb'"id" : "([^"]+)"')
SUFFIX = ".quillstone"


def packages(folder):
    if not os.path.isdir(folder):
        return []
    return sorted(n for n in os.listdir(folder) if n.endswith(SUFFIX))


def copy_package(source, target, suffix):
    os.makedirs(target)
    with open(os.path.join(source, "document.json"), "rb") as f:
        data = f.read()
    if suffix:  # the document's own id comes first in the file: keys are sorted, "doc" first
        data = FIRST_ID.sub(lambda m: b'"id" : "' + m.group(1) + suffix.encode() + b'"', data,
                            count=1)
    with open(os.path.join(target, "document.json"), "wb") as f:
        f.write(data)
    if os.path.isdir(os.path.join(source, "images")):
        shutil.copytree(os.path.join(source, "images"), os.path.join(target, "images"))


def make(source, count, folder):
    if os.path.exists(os.path.join(folder, "done")):
        return
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "support", "reserved"))
    os.makedirs(os.path.join(folder, "Quillstone", "Archive"))
    root = os.path.join(source, "Quillstone")
    every = [("", n) for n in packages(root)] + [("Archive", n)
                                                 for n in packages(os.path.join(root, "Archive"))]
    if count <= len(every):
        chosen = sorted(packages(root))[:count]
        for name in chosen:
            copy_package(os.path.join(root, name), os.path.join(folder, "Quillstone", name), "")
    else:
        copies = -(-count // len(every))
        for k in range(copies):
            suffix = "" if k == 0 else "-%d" % k
            for sub, name in every:
                stem = name[:-len(SUFFIX)]
                copy_package(os.path.join(root, sub, name),
                             os.path.join(folder, "Quillstone", sub, stem + suffix + SUFFIX),
                             suffix)
    open(os.path.join(folder, "done"), "w").close()


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    for spec in sys.argv[2:]:
        count, _, folder = spec.partition("=")
        make(sys.argv[1], int(count), folder)
        print(count, "ready in", folder, flush=True)


if __name__ == "__main__":
    main()
