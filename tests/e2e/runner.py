"""What the e2e scripts share around harness.Program: their two arguments, a program with the
settings it starts from, checks noted as they pass or fail, the page's own PASS/FAIL reports,
scripts added to a page, and waiting for a condition."""
import json, pathlib, sys

from harness import Program, poll as wait_until  # `condition()`, once it holds or time is up

BUILD, SOURCE = sys.argv[1], pathlib.Path(sys.argv[2])


def program(page, settings=None, accessible=False):
    """The program on `page` (a folder below the source), its settings file holding `settings`;
    `accessible`: its AT-SPI tree is kept (always on Wayland)."""
    app = Program(BUILD, SOURCE, SOURCE / page, accessible)
    if settings is not None:
        (app.work / "config").mkdir(exist_ok=True)
        (app.work / "config/settings.json").write_text(json.dumps(settings))
    return app


def add_script(app, name, text):
    """Adds `text` to the page's files as `name`, loaded after the page's own scripts."""
    (app.web / name).write_text(text)
    index = app.web / "index.html"
    index.write_text(index.read_text().replace("</body>", '<script src="%s" defer></script>\n</body>' % name))


class Checks:
    def __init__(self, app):
        self.app, self.passed, self.failures = app, [], []

    def __call__(self, name, ok, detail=""):
        if ok:
            self.passed.append(name)
        else:
            self.failures.append(name + ("" if detail == "" else ": " + str(detail)))
        return ok

    def fail(self, text):
        self.failures.append(text)

    def started(self, text, seconds):
        """Whether the page reported `text` in time; a failure naming the program's status if not."""
        if self.app.wait_for(text, seconds):
            return True
        self.fail("the page never reported %s (status %s)" % (text, self.app.process.poll()))
        return False

    def end(self, quit=True):
        """Quits the program, takes in the page's PASS and FAIL reports and exits with the result."""
        if quit and self.app.quit() is None:
            self.fail("the program did not end after SIGTERM")
        lines = self.app.page_lines()
        self.passed += [l[5:] for l in lines if l.startswith("PASS ")]
        self.failures += [l for l in lines if l.startswith("FAIL")]
        sys.exit(self.app.finish(self.passed, self.failures))
