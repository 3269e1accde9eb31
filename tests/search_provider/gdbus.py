"""The desktop's search provider and the program, asked over the session bus with `gdbus call`,
and the replies read back from GVariant text into Python values."""
import ast, os, re, subprocess, time

PROVIDER = ("app.quillstone.Quillstone.SearchProvider", "/app/quillstone/Quillstone/SearchProvider",
            "org.gnome.Shell.SearchProvider2")
BUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")


def parse(text):
    """GVariant text as gdbus prints it: variants <…> and type annotations (@as []) dropped,
    strings and numbers as Python reads them."""
    out, i, quote = [], 0, None
    while i < len(text):
        c = text[i]
        if quote:
            out.append(c)
            if c == "\\":
                out.append(text[i + 1])
                i += 1
            elif c == quote:
                quote = None
        elif c in "'\"":
            quote = c
            out.append(c)
        elif c in "<>":
            pass
        elif c == "@":
            i = re.compile(r"@\S+\s").match(text, i).end() - 1
        else:
            m = re.compile(r"(uint32|int32|uint64|int64|byte|objectpath|true|false)\b").match(text, i)
            if m:
                word = m.group(1)
                out.append({"true": "True", "false": "False"}.get(word, ""))
                i = m.end() - 1
            else:
                out.append(c)
        i += 1
    return ast.literal_eval("".join(out))


def call(target, method, *args, timeout=20):
    """One method call; the reply as Python values. Raises on a D-Bus error."""
    dest, path, interface = target
    result = subprocess.run(["gdbus", "call", "--session", "--dest", dest, "--object-path", path,
                             "--method", interface + "." + method, "--timeout", str(timeout), *args],
                            capture_output=True, text=True, timeout=timeout + 10)
    if result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (method, result.stderr.strip()))
    return parse(result.stdout.strip())


def strings(items):
    return "@as [%s]" % ", ".join(repr(s) for s in items)


def set_activation_environment(env):
    """What the bus hands to the programs it starts."""
    pairs = ", ".join("%r: %r" % (k, v) for k, v in env.items())
    call(BUS, "UpdateActivationEnvironment", "{%s}" % pairs)


def owner_pid(name, seconds):
    """The process that owns `name` on the bus, waiting for it to appear; None if it doesn't."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        if call(BUS, "NameHasOwner", name)[0]:
            return call(BUS, "GetConnectionUnixProcessID", name)[0]
        time.sleep(0.2)
    return None


def tree_state(folder):
    """Every file and folder below `folder`, links not followed: its kind, size, time and bytes."""
    state = {}
    for top, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(top, name)
            st = os.lstat(path)
            data = open(path, "rb").read() if os.path.isfile(path) and not os.path.islink(path) else None
            state[os.path.relpath(path, folder)] = (st.st_mode, st.st_size, st.st_mtime_ns, data)
    return state
