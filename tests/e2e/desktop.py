"""The desktop around the program as the e2e scripts drive it: xdotool, windows found by their
titles (on Wayland, in the program's AT-SPI tree: see accessible.py), and calls to the program
over the session bus."""
import subprocess

from harness import WAYLAND, poll

APP_BUS = ["gdbus", "call", "--session", "--dest", "app.quillstone.Quillstone",
           "--object-path", "/app/quillstone/Quillstone"]


def xdotool(env, *args):
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True, timeout=30)


def window_named(env, name, seconds, visible=False):
    """The last X window whose title matches the pattern `name`, once one is there; None after
    `seconds`. On Wayland, the program's window of that name in its AT-SPI tree."""
    if WAYLAND:
        import accessible
        app = accessible.application(seconds=seconds)
        return app and accessible.window(app, name, seconds)
    def found():
        ids = xdotool(env, "search", *(["--onlyvisible"] if visible else []), "--name", name).stdout.split()
        return ids[-1] if ids else None
    return poll(found, seconds, 0.3)


def call_app(env, method, *args):
    """A method of the running program's, over the session bus."""
    return subprocess.run(APP_BUS + ["--method", method, *args], env=env, capture_output=True,
                          text=True, timeout=30)


def activate(env, action):
    call_app(env, "org.gtk.Actions.Activate", action, "[]", "{}")


def press_button(window, name):
    """Presses the button named `name` (a pattern) in an accessible window; whether it was there."""
    import accessible
    button = accessible.find(window, "push button", name, 5)
    return button is not None and accessible.press(button)
