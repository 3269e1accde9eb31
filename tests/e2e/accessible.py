"""The program as a screen reader sees it: its AT-SPI tree, read through Debian's
python3-pyatspi (so the scripts that use this run under /usr/bin/python3). Windows and controls
are found by role and name, and buttons pressed through their actions."""
import re

import pyatspi

from harness import poll


def application(name="quillstone", seconds=30):
    """The program's node at the root of the tree, once it is there; None after `seconds`."""
    def found():
        desktop = pyatspi.Registry.getDesktop(0)
        apps = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
        return next((a for a in apps if a is not None and a.name == name), None)
    return poll(found, seconds)


def describe(node):
    """role 'name', for a failure's detail."""
    try:
        return "%s %r" % (node.getRoleName(), node.name)
    except Exception as e:  # a node that went away as it was read
        return "gone (%s)" % e


def walk(node, depth=0, limit=40):
    """`node` and everything below it, depth first. Nodes that vanish mid-walk are skipped."""
    yield node
    if depth >= limit:
        return
    try:
        children = [node.getChildAtIndex(i) for i in range(node.childCount)]
    except Exception:
        return
    for child in children:
        if child is not None:
            yield from walk(child, depth + 1, limit)


def matches(node, role, name):
    try:
        return ((role is None or node.getRoleName() == role)
                and (name is None or re.search(name, node.name or "") is not None))
    except Exception:
        return False


def find(root, role=None, name=None, seconds=0.0):
    """The first node below `root` with `role` whose name matches the pattern `name`, waiting up
    to `seconds` for it; None when there is none."""
    return poll(lambda: next((n for n in walk(root) if matches(n, role, name)), None), seconds)


def find_all(root, role=None, name=None):
    return [n for n in walk(root) if matches(n, role, name)]


def window(app, name, seconds=15.0):
    """The program's window whose name matches `name`, once it shows. (Any role: GTK 4.8 gives a
    frame, a dialog, or for a file chooser a filler.)"""
    def shown():
        try:
            children = [app.getChildAtIndex(i) for i in range(app.childCount)]
        except Exception:
            children = []
        return next((c for c in children if c is not None and matches(c, None, name) and visible(c)), None)
    return poll(shown, seconds)


def gone(app, name, seconds=10.0):
    """Whether the window named `name` has closed within `seconds`."""
    return poll(lambda: window(app, name, 0) is None, seconds)


def press(node, name=None):
    """Runs the node's action `name` (its first when None), as a screen reader's user does."""
    action = node.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    return action.doAction(names.index(name) if name else 0)


def states(node):
    try:
        return {pyatspi.stateToString(s) for s in node.getState().getStates()}
    except Exception:  # gone
        return {"defunct"}


def visible(node):
    """Whether a window is up: GTK 4.8 says "visible" of a shown window, and a closed one is
    "defunct" (or gone)."""
    found = states(node)
    return "visible" in found and "defunct" not in found
