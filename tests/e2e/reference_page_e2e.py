#!/usr/bin/env python3
"""The reference editor page in the real program: it loads, a person's typing becomes a
document, and the package appears on disk."""
import json, pathlib, sys

from harness import Program

build, source = sys.argv[1], pathlib.Path(sys.argv[2])
app = Program(build, source, source / "web")
# The typing is done by a small script added to the page's own files.
(app.web / "e2e-typing.js").write_text((source / "tests/e2e/typing.js").read_text())
index = app.web / "index.html"
index.write_text(index.read_text().replace("</body>", '<script src="e2e-typing.js" defer></script>\n</body>'))
app.start()
failures = []
if not app.wait_for("TYPED", 90):
    failures.append("the page did not report its typing (status %s)" % app.process.poll())
passed = [l[5:] for l in app.page_lines() if l.startswith("PASS ")]
failures += [l for l in app.page_lines() if l.startswith("FAIL ")]
if app.quit() is None:
    failures.append("the program did not end after SIGTERM")
package = app.work / "Writing" / "Typed end to end.quillstone"
if not (package / "document.json").exists():
    failures.append("no package named after the typed title: %s" % sorted(p.name for p in (app.work / "Writing").glob("*")))
else:
    text = (package / "preview.md").read_text()
    if "A sentence typed into the page." not in text:
        failures.append("the typed paragraph is not in the package: %r" % text)
    else:
        passed.append("package on disk")
sys.exit(app.finish(passed, failures))
