#!/usr/bin/python3
"""Loads the editor page in WebKitGTK 6.0 the way a document window does: quillstone://app/
served from web/ with the content security policy, the bridge spliced into a document-start user
script, and a message handler with replies that answers "open" and "write". Then it edits
through the page's own entry points and checks the write batch. A developer aid, not part of CI.

    WEBKIT_DISABLE_DMABUF_RENDERER=1 xvfb-run -a /usr/bin/python3 tools/page-check/webkit_check.py [shot.png]
"""
import json
import mimetypes
import os
import sys

import gi

gi.require_version("Gtk", "4.0")
gi.require_version("WebKit", "6.0")
gi.require_version("Soup", "3.0")
gi.require_version("JavaScriptCore", "6.0")
from gi.repository import Gio, GLib, Gtk, JavaScriptCore, Soup, WebKit  # noqa: E402

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
POLICY = ("default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data: blob: https:; "
          "font-src 'self' data:; media-src 'self' blob: data:; worker-src 'self' blob:; connect-src 'self' blob: data:; "
          "object-src 'none'; frame-src 'none'")
WORKSPACE = {"kind": "ready", "revs": {"welcome": 2}, "meta": None, "notices": [],
             "state": {"docs": [{"id": "welcome", "title": "Welcome", "created": 1, "updated": 1,
                                 "nodes": [{"id": "n1", "text": "Hello.", "children": [{"id": "b1", "text": "A thought.", "ai": True}]}]}]}}

sent = []
failures = []
loop = GLib.MainLoop()


def check(ok, what, detail=None):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok or detail is None else "  -> " + json.dumps(detail)[:400]))
    if not ok:
        failures.append(what)


def serve(request):
    path = request.get_path().lstrip("/") or "index.html"
    file = os.path.realpath(os.path.join(REPO, "web", path))
    if not file.startswith(os.path.join(REPO, "web") + os.sep) or not os.path.isfile(file):
        request.finish_error(GLib.Error.new_literal(Gio.io_error_quark(), "Not found", Gio.IOErrorEnum.NOT_FOUND))
        return
    data = open(file, "rb").read()
    response = WebKit.URISchemeResponse.new(Gio.MemoryInputStream.new_from_bytes(GLib.Bytes.new(data)), len(data))
    kind = mimetypes.guess_type(file)[0] or "application/octet-stream"
    response.set_content_type(kind)
    headers = Soup.MessageHeaders.new(Soup.MessageHeadersType.RESPONSE)
    headers.append("Content-Type", kind)
    headers.append("Content-Length", str(len(data)))
    headers.append("Content-Security-Policy", POLICY)
    response.set_http_headers(headers)
    request.finish_with_response(response)


def on_message(manager, value, reply):
    message = json.loads(value.to_json(0))
    sent.append(message)
    answer = {"open": WORKSPACE}.get(message.get("op"), True)
    reply.return_value(JavaScriptCore.Value.new_string(value.get_context(), "\x1e" + json.dumps(answer)))
    if message.get("op") == "loaded":
        GLib.idle_add(lambda: steps.send(None) and False)
    return True


def call(body, done=None, **args):
    """Calls into the page like the native side: an async function body with named arguments."""
    variant = GLib.Variant("a{sv}", {k: GLib.Variant("s", v) for k, v in args.items()})

    def finished(view, result):
        try:
            value = view.call_async_javascript_function_finish(result)
            out = json.loads(value.to_json(0) or "null")
        except GLib.Error as error:
            out = {"error": error.message}
        (done or (lambda _: steps.send(None)))(out)

    web.call_async_javascript_function(body, -1, variant, None, None, None, finished)


def results():
    result = {}

    def keep(value):
        result["value"] = value
        steps.send(None)
    return result, keep


def script():
    ops = [m["op"] for m in sent]
    check("open" in ops and ops.index("open") < ops.index("loaded"), "open before loaded", ops)
    check(any(m["op"] == "chrome" and m.get("bg", "").startswith("rgb(") for m in sent), "chrome sent", [m for m in sent if m["op"] == "chrome"])
    r, keep = results()
    call("return window.QuillstoneApp?.run?.(c, JSON.parse(aJSON)) ?? false", keep, c="newDoc", aJSON="null")
    yield
    check(r["value"] is True, "run newDoc answers true", r)
    call("""const t = document.querySelector('.title'); t.value = 'From WebKit'; t.dispatchEvent(new Event('input', {bubbles: true}));
            const p = document.querySelector('.para'); p.focus(); document.execCommand('insertText', false, 'Plain and bold');
            const s = getSelection(), n = p.firstChild; s.setBaseAndExtent(n, 10, n, 14);
            return window.QuillstoneApp.run('bold');""")
    yield
    call("window.QuillstoneMac.key({key: 'Tab', code: 'Tab', shift: false, alt: false, ctrl: false, meta: false}); document.execCommand('insertText', false, 'a note'); return true;")
    yield
    call("return await window.QuillstoneMac?.settle()")
    yield
    writes = [m for m in sent if m["op"] == "write"]
    rec = writes and next((r for r in writes[-1]["batch"]["docs"] if r.get("doc", {}).get("title") == "From WebKit"), None)
    check(bool(rec), "settle wrote the new document", writes[-1:] if writes else None)
    if rec:
        node = rec["doc"]["nodes"][0]
        check(node["content"] == [{"text": "Plain and ", "marks": []}, {"text": "bold", "marks": [{"type": "bold"}]}], "bold run", node)
        check(node.get("children", [{}])[0].get("text") == "a note", "note from the synthetic Tab key", node)
        check(writes[-1]["batch"]["meta"]["schema"] == 3, "meta schema 3")
    check(any(m["op"] == "doc" and m.get("title") == "From WebKit" for m in sent), "doc message with the title")
    r, keep = results()
    call("return window.QuillstoneMac?.press(l)", keep, l="Library")
    yield
    check(r["value"] is True, "press Library")
    shot = sys.argv[1] if len(sys.argv) > 1 else "/tmp/quillstone-webkit.png"
    call("return window.QuillstoneMac?.press(l)", l="Close")
    yield

    def saved(view, result):
        texture = view.get_snapshot_finish(result)
        texture.save_to_png(shot)
        print("snapshot", shot)
        steps.send(None)
    web.get_snapshot(WebKit.SnapshotRegion.VISIBLE, WebKit.SnapshotOptions.NONE, None, saved)
    yield
    logs = [m["text"] for m in sent if m["op"] == "log"]
    check(not logs, "no errors logged by the page", logs)
    loop.quit()
    yield


steps = script()
Gtk.init()
context = WebKit.WebContext.get_default()
context.register_uri_scheme("quillstone", serve)
manager = WebKit.UserContentManager()
bridge = open(os.path.join(REPO, "host", "bridge.js"), encoding="utf-8").read()
first = 'window.__QUILLSTONE_FOLDER__ = "Documents \u2192 Quillstone";' + bridge
manager.add_script(WebKit.UserScript.new(first, WebKit.UserContentInjectedFrames.TOP_FRAME,
                                         WebKit.UserScriptInjectionTime.START, None, None))
manager.register_script_message_handler_with_reply("quillstoneHost", None)
manager.connect("script-message-with-reply-received::quillstoneHost", on_message)
web = WebKit.WebView(user_content_manager=manager, web_context=context)
window = Gtk.Window(default_width=1100, default_height=720)
window.set_child(web)
window.present()
web.load_uri("quillstone://app/index.html")
GLib.timeout_add_seconds(30, lambda: (failures.append("timed out"), loop.quit()))
loop.run()
print(f"{len(failures)} check(s) failed" if failures else "all checks passed")
sys.exit(1 if failures else 0)
