"""The desktop around the program as the e2e scripts drive it: xdotool, windows found by their
titles, and calls to the program over the session bus."""
import subprocess, time

APP_BUS = ["gdbus", "call", "--session", "--dest", "app.quillstone.Quillstone",
           "--object-path", "/app/quillstone/Quillstone"]


def xdotool(env, *args):
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True, timeout=30)


def window_named(env, name, seconds, visible=False):
    """The last X window whose title matches the pattern `name`, once one is there; None after
    `seconds`."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        found = xdotool(env, "search", *(["--onlyvisible"] if visible else []), "--name", name)
        if found.stdout.split():
            return found.stdout.split()[-1]
        time.sleep(0.3)
    return None


def call_app(env, method, *args):
    """A method of the running program's, over the session bus."""
    return subprocess.run(APP_BUS + ["--method", method, *args], env=env, capture_output=True,
                          text=True, timeout=30)


def activate(env, action):
    call_app(env, "org.gtk.Actions.Activate", action, "[]", "{}")
