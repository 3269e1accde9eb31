#!/usr/bin/env python3
# The reference editor page in the real program: it loads, a person's typing becomes a document,
# and the package appears on disk.
from harness import SOURCE, Checks, Program

app = Program("web")
app.add_script("e2e-typing.js", (SOURCE / "tests/e2e/typing.js").read_text())
app.start()
check = Checks(app)
check.started("TYPED", 90)
app.quit()
package = app.work / "Writing" / "Typed end to end.quillstone"
text = (package / "preview.md").read_text() if (package / "document.json").exists() else None
check("the typed paragraph in a package named after the typed title",
      text and "A sentence typed into the page." in text, text or sorted(p.name for p in (app.work / "Writing").glob("*")))
check.end(quit=False)
