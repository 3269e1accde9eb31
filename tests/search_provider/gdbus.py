# The desktop's search provider and the program, asked over the session bus as `gdbus call`
# asks (arguments in GVariant text), the replies as Python values.
import os, pathlib, time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

PROVIDER = ("app.quillstone.Quillstone.SearchProvider", "/app/quillstone/Quillstone/SearchProvider",
            "org.gnome.Shell.SearchProvider2")
BUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")


def _argument(text):
    # An argument in GVariant text as `gdbus call` takes it: a bare word is a string.
    try:
        return GLib.Variant.parse(None, text, None, None)
    except GLib.Error:
        return GLib.Variant("s", text)


def call(target, method, *args, timeout=20):
    # One method call; the reply as Python values. Raises on a D-Bus error.
    dest, path, interface = target
    try:
        reply = Gio.bus_get_sync(Gio.BusType.SESSION).call_sync(
            dest, path, interface, method, GLib.Variant.new_tuple(*map(_argument, args)), None,
            Gio.DBusCallFlags.NONE, timeout * 1000)
    except GLib.Error as e:
        raise RuntimeError("%s failed: %s" % (method, e.message))
    return reply.unpack()


def strings(items):
    return "@as [%s]" % ", ".join(repr(s) for s in items)


def set_activation_environment(env):
    # What the bus hands to the programs it starts.
    call(BUS, "UpdateActivationEnvironment", "{%s}" % ", ".join("%r: %r" % kv for kv in env.items()))


def owner_pid(name, seconds):
    # The process that owns `name` on the bus, waiting for it to appear; None if it doesn't.
    deadline = time.time() + seconds
    while time.time() < deadline:
        if call(BUS, "NameHasOwner", name)[0]:
            return call(BUS, "GetConnectionUnixProcessID", name)[0]
        time.sleep(0.2)
    return None


def tree_state(folder):
    # Every file and folder below `folder`, links not followed: its kind, size, time and bytes.
    paths = [pathlib.Path(top, n) for top, dirs, files in os.walk(folder) for n in dirs + files]
    return {p: (p.lstat().st_mode, p.lstat().st_size, p.lstat().st_mtime_ns,
                p.read_bytes() if p.is_file() and not p.is_symlink() else None) for p in paths}
