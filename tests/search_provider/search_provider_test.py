#!/usr/bin/env python3
# The search provider over a private session bus, started by the bus from the build's own
# service file and asked as the shell asks: result sets best first, metas, any terms, and nothing
# written to the writing folder or the index.
#   search_provider_test.py BUILD   (inside dbus-run-session --config-file=BUILD/test-dbus/session.conf)
import json, os, pathlib, shutil, subprocess, sys, tempfile

sys.path.insert(0, os.path.dirname(__file__))
from gdbus import PROVIDER, call, set_activation_environment, strings, tree_state

build = pathlib.Path(sys.argv[1])
work = pathlib.Path(tempfile.mkdtemp(prefix="qs-provider-"))
writing, support = work / "Writing", work / "Support"
env = {"QUILLSTONE_SUPPORT": str(support), "QUILLSTONE_CONFIG": str(work / "config"),
       "XDG_DATA_HOME": str(work / "data"), "HOME": str(work)}
cli_env = {**{k: v for k, v in os.environ.items() if k != "QUILLSTONE_DEBUG"}, **env}

# Three documents hold "lighthouse": in the title, in a paragraph, in a bullet of the subtext.
docs = [("title", "The lighthouse", "Keepers and lamps.", []),
        ("body", "Harbour", "Boats pass the lighthouse at dusk while the town sleeps.", []),
        ("bullet", "Walks", "Along the cliffs.", [{"text": "lighthouse keeper"}]),
        ("other", "Kitchen", "Bread and soup.", [])]
batch = {"docs": [{"id": i, "rev": 1, "doc": {"id": i, "title": t, "nodes": [{"text": p, "children": c}]}}
                  for i, t, p, c in docs]}
subprocess.run([str(build / "quillstone-cli"), "--root", str(writing), "--support", str(support), "write"],
               input=json.dumps(batch), text=True, env=cli_env, check=True, stdout=subprocess.DEVNULL)
before = tree_state(writing)
index_before = (support / "search-index.sqlite3").read_bytes()

set_activation_environment(env)
passed, failures = [], []


def expect(name, condition, detail=""):
    (passed if condition else failures).append(name + ("" if condition else ": " + str(detail)))


found = call(PROVIDER, "GetInitialResultSet", strings(["lighthouse"]))[0]
expect("three documents, best first", found == ["title", "body", "bullet"], found)
narrowed = call(PROVIDER, "GetSubsearchResultSet", strings(found), strings(["lighthouse", "kee"]))[0]
expect("a subsearch narrows, the last term a prefix", narrowed == ["title", "bullet"], narrowed)

metas = call(PROVIDER, "GetResultMetas", strings(["bullet", "unknown", "title"]))[0]
expect("metas for known ids, in order", [m.get("id") for m in metas] == ["bullet", "title"], metas)
thumbnail = writing / "The lighthouse.quillstone" / "QuickLook" / "Thumbnail.png"
expect("titles, snippets and the thumbnail as icon", len(metas) == 2 and metas[0]["name"] == "Walks"
       and "lighthouse keeper" in metas[0]["description"] and metas[1]["description"].startswith("Keepers and lamps.")
       and metas[1].get("icon") == ("file", thumbnail.as_uri()) and thumbnail.is_file(), metas)

for terms in (["\"*NEAR("], [""], ["title:keepers"], []):
    try:
        answer = call(PROVIDER, "GetInitialResultSet", strings(terms))[0]
        expect("terms %r read as words" % terms, answer == [], answer)
    except RuntimeError as e:
        failures.append("terms %r: %s" % (terms, e))
try:
    call(PROVIDER, "ActivateResult", "'../Kitchen'", strings([]), "uint32 0")
    still = call(PROVIDER, "GetInitialResultSet", strings(["kitchen"]))[0]
    expect("a result id that isn't a document's is ignored", still == ["other"], still)
except RuntimeError as e:
    failures.append(str(e))

expect("nothing written to the writing folder", tree_state(writing) == before)
expect("the index unchanged", (support / "search-index.sqlite3").read_bytes() == index_before)

print("\n".join(["ok   " + p for p in passed] + ["FAIL " + f for f in failures]))
print("%d passed, %d failed" % (len(passed), len(failures)))
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
