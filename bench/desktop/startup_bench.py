#!/usr/bin/env python3
"""Desktop benchmarks: the real program, timed from its start to a loaded page, and the page's
"open" round trip beside the page's own JSON.parse of the same reply.

    python3 bench/desktop/startup_bench.py BUILD [--launches N] [--rounds R] [--count N]
                                                 [--only NAME[,NAME…]] [--json FILE] [--nice N]

BUILD is a build folder configured with -DQUILLSTONE_BENCH=ON (the workspaces are made with its
quillstone-bench-generate and quillstone-cli). Without a display the script runs itself again
under xvfb-run and dbus-run-session.

Workspaces are generated on the first run and kept in $QUILLSTONE_BENCH_DIR, else the temporary
folder ("quillstone-desktop-bench-*"):
  plain        COUNT documents from the generator: ASCII text;
  typographic  the same documents rewritten through `quillstone-cli write` with typographic
               quotes and apostrophes, dashes, accented words and an emoji closing each paragraph.
Each run of the program gets fresh settings, so it opens one window on the library. The first
launch of each configuration warms the file cache and the search index and is not counted; the
counted launches take the configurations in turn.
"""
import argparse, json, os, pathlib, platform, random, re, shutil, statistics, subprocess, sys
import tempfile, threading, time

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
from harness import Program  # noqa: E402

SEED = 1
WORDS = 300  # about how many words a generated document has
MARK = "Quillstone page: BENCH "


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build")
    p.add_argument("--launches", type=int, default=5,
                   help="counted launches of each configuration")
    p.add_argument("--rounds", type=int, default=5,
                   help='"open" round trips a page times after loading')
    p.add_argument("--count", type=int, default=10000, help="documents in the generated workspaces")
    p.add_argument("--only", default="", help="configurations to run, by name (see --list)")
    p.add_argument("--list", action="store_true", help="lists the configurations")
    p.add_argument("--json", help="also writes every measurement to this file")
    p.add_argument("--nice", type=int, help="runs everything (display included) at this niceness; "
                   "a negative one, for root, keeps other work on a shared machine out of the way")
    return p.parse_args()


def under_display():
    """Runs this script again under a virtual display and a session bus when it has neither."""
    if os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"):
        return
    for tool in ("xvfb-run", "dbus-run-session"):
        if not shutil.which(tool):
            sys.exit("startup_bench: no display and no %s" % tool)
    command = ["xvfb-run", "-a", "-s", "-screen 0 1400x900x24", "dbus-run-session",
               sys.executable, *sys.argv]
    sys.exit(subprocess.call(command))


# ---- workspaces ----

def bench_base():
    return pathlib.Path(os.environ.get("QUILLSTONE_BENCH_DIR") or tempfile.gettempdir())


def cli(build, workspace, *args, stdin=None):
    env = dict(os.environ, QUILLSTONE_CONFIG=str(workspace / "config"),
               # The CLI leaves the search index alone, as the generator does: the first launch
               # of the program builds it for both workspaces alike.
               QUILLSTONE_DEBUG="1")
    return subprocess.run([str(build / "quillstone-cli"), "--root", str(workspace / "Quillstone"),
                           "--support", str(workspace / "support"), *args], env=env, input=stdin,
                          capture_output=True, check=True)


def generator_version():
    header = (SOURCE / "bench" / "workspace_generator.h").read_text()
    found = re.search(r"kGeneratorVersion\s*=\s*(\d+)", header)
    return int(found.group(1)) if found else 0


def cached(marker, **expected):
    """True when `marker` says its workspace was made as `expected` describes."""
    try:
        made = json.loads(marker.read_text())
    except (OSError, ValueError):
        return False
    return all(made.get(k) == v for k, v in expected.items())


def plain_workspace(build, count):
    folder = bench_base() / ("quillstone-desktop-bench-plain-%d-%d" % (count, SEED))
    marker = folder / "complete.json"
    if cached(marker, count=count, size=WORDS, version=generator_version()):
        return folder
    shutil.rmtree(folder, ignore_errors=True)
    print("generating %d documents into %s …" % (count, folder), flush=True)
    started = time.time()
    subprocess.run([str(build / "bench" / "quillstone-bench-generate"), "--root",
                    str(folder / "Quillstone"), "--support", str(folder / "support"), "--count",
                    str(count), "--size", str(WORDS), "--seed", str(SEED)],
                   check=True, stdout=subprocess.DEVNULL)
    marker.write_text(json.dumps({"count": count, "seed": SEED, "size": WORDS,
                                  "version": generator_version(),
                                  "seconds": round(time.time() - started, 1)}))
    return folder


# Typographic text, as a writer's editor leaves it: curly quotes and apostrophes, dashes,
# accented loan words, and an emoji at the end of every paragraph (some outside the basic plane,
# so the escaped form needs surrogate pairs).
ACCENTED = {"morning": "matinée", "evening": "soirée", "market": "marché", "street": "Straße",
            "garden": "jardín", "river": "rivière", "stranger": "étranger", "story": "récit",
            "summer": "été", "meeting": "rendez-vous", "city": "città", "letter": "lettre",
            "answer": "réponse", "harbour": "hâvre", "friend": "ami·e", "draft": "ébauche"}
EMOJI = ["\U0001F331", "\u2615", "\u2728", "\U0001F4DA", "\U0001F642", "\U0001F30A", "\u270D\uFE0F",
         "\U0001F56F\uFE0F", "\U0001F9ED", "\u2764\uFE0F"]
WORD = re.compile(r"[A-Za-z]+")
NEGATABLE = re.compile(r"\b(would|could|was|were|had|did)\b")


def typographic(text, rnd):
    text = WORD.sub(lambda m: ACCENTED.get(m.group(0), m.group(0)), text)
    text = NEGATABLE.sub(lambda m: m.group(1) + ("n\u2019t" if rnd.random() < 0.4 else ""), text)
    text = text.replace(", ", " \u2014 " if rnd.random() < 0.5 else ", ")
    words = text.split(" ")
    if len(words) >= 8 and rnd.random() < 0.6:
        at = rnd.randrange(1, len(words) - 4)
        words[at] = "\u201c" + words[at]
        words[at + 3] += "\u201d"
    return " ".join(words)


def retype_content(content, rnd):
    for run in content:
        if isinstance(run, dict) and isinstance(run.get("text"), str):
            run["text"] = typographic(run["text"], rnd)


def retype_bullets(bullets, rnd):
    for b in bullets:
        retype_content(b.get("content", []), rnd)
        retype_bullets(b.get("children", []), rnd)


def retype(doc):
    rnd = random.Random(doc["id"])
    for node in doc.get("nodes", []):
        content = node.get("content", [])
        retype_content(content, rnd)
        retype_bullets(node.get("children", []), rnd)
        if content and "level" not in node and "image" not in node:
            content[-1]["text"] += " " + rnd.choice(EMOJI)
    return doc


def typographic_workspace(build, count):
    folder = bench_base() / ("quillstone-desktop-bench-typographic-%d-%d" % (count, SEED))
    marker = folder / "complete.json"
    plain = plain_workspace(build, count)
    if cached(marker, count=count, made=(plain / "complete.json").read_text()):
        return folder
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "Quillstone").mkdir(parents=True)
    (folder / "support").mkdir()
    print("writing %d typographic documents into %s …" % (count, folder), flush=True)
    started = time.time()
    opened = json.loads(cli(build, plain, "open").stdout)
    revs = opened.get("revs", {})
    meta = json.loads((plain / "support" / "workspace.json").read_text())
    docs = opened["state"]["docs"]
    for start in range(0, len(docs), 500):
        batch = {"docs": [{"id": d["id"], "rev": revs.get(d["id"], 1),
                           "updated": d.get("updated", 0), "deleted": False, "deletedAt": None,
                           "doc": retype(d)} for d in docs[start:start + 500]]}
        if start == 0:
            batch["meta"] = meta
        answer = cli(build, folder, "write", "-", stdin=json.dumps(batch).encode()).stdout.strip()
        if answer != b"true":
            sys.exit("startup_bench: writing the typographic workspace failed: %s" % answer[:300])
    marker.write_text(json.dumps({"count": count, "made": (plain / "complete.json").read_text(),
                                  "seconds": round(time.time() - started, 1)}))
    return folder


def reply_text_facts(build, workspace):
    """Size of the open reply's text and how much of it is past ASCII."""
    text = cli(build, workspace, "open").stdout.decode().rstrip("\n")
    beyond = sum(1 for c in text if ord(c) > 127)
    escaped = len(json.dumps(json.loads(text), ensure_ascii=True, separators=(",", ":")))
    return {"utf8Bytes": len(text.encode()), "codePoints": len(text), "nonAscii": beyond,
            "escapedBytes": escaped}


def time_cli_open(build, workspace, runs):
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        cli(build, workspace, "open")
        times.append((time.perf_counter() - started) * 1000)
    return times


# ---- launches ----

def launch(build, workspace, reply_ascii, rounds, extra_env):
    app = Program(build, SOURCE, HERE / "page")
    try:
        (app.web / "config.js").write_text("window.__QUILLSTONE_BENCH__ = %s;\n"
                                           % json.dumps({"rounds": rounds}))
        if workspace is not None:
            app.env["QUILLSTONE_ROOT"] = str(workspace / "Quillstone")
            app.env["QUILLSTONE_SUPPORT"] = str(workspace / "support")
        # As a user who has run this version before: the previews are in the current format, so
        # the launch upkeep doesn't render all of them again. No window is restored.
        config = pathlib.Path(app.env["QUILLSTONE_CONFIG"])
        config.mkdir(parents=True, exist_ok=True)
        (config / "settings.json").write_text(json.dumps({"previewFormat": 2}))
        # The search index on and no developer tools, unless the configuration asks otherwise.
        app.env.pop("QUILLSTONE_DEBUG", None)
        app.env.update(extra_env)
        if reply_ascii is None:
            app.env.pop("QUILLSTONE_REPLY_ASCII", None)
        else:
            app.env["QUILLSTONE_REPLY_ASCII"] = reply_ascii
        # Other work on the machine shows in every figure: the load is kept beside them.
        load_before = os.getloadavg()[0]
        started = time.time()
        app.start()
        shown = first_window(app.process, started)
        deadline = started + 600
        report = None
        while report is None and time.time() < deadline and app.process.poll() is None:
            time.sleep(0.05)
            for line in app.lines():
                if MARK in line:
                    report = json.loads(line.split(MARK, 1)[1])
        if app.quit() is None:
            print("  the program did not end after SIGTERM", flush=True)
        if report is None:
            sys.exit("startup_bench: no report from the page (status %s)\n%s"
                     % (app.process.poll(), "\n".join(app.lines()[-30:])))
        if "error" in report:
            sys.exit("startup_bench: the page failed: " + report["error"])
        since = lambda at: at - started * 1000
        shown.join()
        return {"load": load_before, "toWindow": shown.ms, "toNavigation": since(report["timeOrigin"]),
                "toScript": since(report["scriptAt"]),
                "toLoaded": since(report["loadedAt"]), "first": report["first"],
                "rounds": report["rounds"]}
    finally:
        shutil.rmtree(app.work, ignore_errors=True)


def launch_floor(build):
    """The floor program: process start to its window, and to its one-line page's script."""
    # A home of its own, as the program's launches have.
    work = pathlib.Path(tempfile.mkdtemp(prefix="qs-floor-"))
    env = dict(os.environ, WEBKIT_DISABLE_DMABUF_RENDERER="1", NO_AT_BRIDGE="1",
               HOME=str(work), XDG_DATA_HOME=str(work / "data"),
               XDG_CONFIG_HOME=str(work / "config"))
    load_before = os.getloadavg()[0]
    started = time.time()
    process = subprocess.Popen([str(build / "bench" / "quillstone-bench-window-floor")], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    shown = first_window(process, started)
    try:
        out, _ = process.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        process.kill()
        sys.exit("startup_bench: the floor program did not load its page")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    found = re.search(r"FLOOR loaded (\d+)", out)
    if not found:
        sys.exit("startup_bench: no report from the floor program")
    shown.join()
    return {"load": load_before, "toWindow": shown.ms,
            "toLoaded": int(found.group(1)) - started * 1000}


def first_window(process, started):
    """A thread that notes when a window of `process` is first mapped (ms after `started`)."""
    def watch():
        while process.poll() is None and time.time() < started + 60:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid",
                                    str(process.pid)], capture_output=True, text=True)
            if found.stdout.strip():
                thread.ms = (time.time() - started) * 1000
                return
            time.sleep(0.005)
    thread = threading.Thread(target=watch, daemon=True)
    thread.ms = float("nan")
    if shutil.which("xdotool"):
        thread.start()
    return thread


# ---- summaries ----

def med(values):
    return statistics.median(values) if values else float("nan")


def spread(values):
    return "%.0f–%.0f" % (min(values), max(values)) if values else "–"


def ms(value):
    return "%.0f" % value


def form_name(reply_ascii):
    return {None: "either (ASCII text)", "0": "characters", "1": "\\u escapes"}[reply_ascii]


def machine():
    cpu = "?"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    webkit = subprocess.run(["pkg-config", "--modversion", "webkitgtk-6.0"], capture_output=True,
                            text=True).stdout.strip() or "?"
    return {"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(), "webkitgtk": webkit,
            "date": time.strftime("%Y-%m-%d")}


def main():
    args = parse_args()
    build = pathlib.Path(args.build).resolve()
    count = args.count
    configs = [  # name, workspace maker, QUILLSTONE_REPLY_ASCII, more environment
        ("empty", None, None, {}),
        ("plain", plain_workspace, None, {}),
        # The launch upkeep rebuilds the search index from every document while the page opens;
        # QUILLSTONE_DEBUG turns the index off, which shows what that costs the start.
        ("plain-no-index", plain_workspace, None, {"QUILLSTONE_DEBUG": "1"}),
        ("typographic-characters", typographic_workspace, "0", {}),
        ("typographic-escapes", typographic_workspace, "1", {}),
    ]
    if args.list:
        print("\n".join(c[0] for c in configs))
        return 0
    if args.only:
        wanted = set(args.only.split(","))
        configs = [c for c in configs if c[0] in wanted]
    if args.nice is not None and os.environ.get("QUILLSTONE_BENCH_NICE") is None:
        os.setpriority(os.PRIO_PROCESS, 0, args.nice)
        os.environ["QUILLSTONE_BENCH_NICE"] = str(args.nice)  # once, not again under the display
    under_display()
    for program in (build / "quillstone", build / "quillstone-cli",
                    build / "bench" / "quillstone-bench-generate"):
        if not program.exists():
            sys.exit("startup_bench: %s is missing; build with -DQUILLSTONE_BENCH=ON" % program)

    floor_program = build / "bench" / "quillstone-bench-window-floor"
    results = {"machine": machine(), "count": count, "configs": [], "floor": [],
               "nice": os.getpriority(os.PRIO_PROCESS, 0)}
    entries = []
    for name, make, reply_ascii, extra_env in configs:
        workspace = make(build, count) if make else None
        print("%s: warm-up launch" % name, flush=True)
        launch(build, workspace, reply_ascii, 0, extra_env)
        entries.append(({"name": name, "replyAscii": reply_ascii, "launches": []}, workspace,
                        extra_env))
    # One launch of each configuration in turn, so that other work on the machine, which comes
    # and goes, weighs on all of them alike.
    if floor_program.exists():
        launch_floor(build)  # warm-up
    for i in range(args.launches):
        if floor_program.exists():
            results["floor"].append(launch_floor(build))
        for entry, workspace, extra_env in entries:
            run = launch(build, workspace, entry["replyAscii"], args.rounds, extra_env)
            entry["launches"].append(run)
            print("  %s launch %d: loaded after %.0f ms" % (entry["name"], i + 1, run["toLoaded"]),
                  flush=True)
    for entry, workspace, _ in entries:
        if workspace is not None:
            entry["cliOpenMs"] = time_cli_open(build, workspace, args.launches)
            entry["reply"] = reply_text_facts(build, workspace)
        results["configs"].append(entry)

    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=1))
    print_tables(results)
    return 0


def print_tables(results):
    m = results["machine"]
    print("\n%s; %s CPUs (%s); Linux %s; WebKitGTK %s; niceness %d\n"
          % (m["date"], m["nproc"], m["cpu"], m["kernel"], m["webkitgtk"], results["nice"]))
    floor = None
    print("Start-up, process start to the page's \"loaded\" answered (ms, median of %d launches):\n"
          % len(results["configs"][0]["launches"]))
    print("| library | reply form | first window | page begins | script runs | first open "
          "| its JSON.parse | loaded | spread | floor: empty library | load |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for c in results["configs"]:
        runs = c["launches"]
        loaded = [r["toLoaded"] for r in runs]
        if c["name"] == "empty":
            floor = med(loaded)
        loads = [r["load"] for r in runs]
        print("| %s | %s | %s | %s | %s | %s | %s | **%s** | %s | %s | %.1f–%.1f |" % (
            c["name"], form_name(c["replyAscii"]), ms(med([r.get("toWindow", float("nan"))
                                                          for r in runs])),
            ms(med([r["toNavigation"] for r in runs])),
            ms(med([r["toScript"] for r in runs])), ms(med([r["first"]["openMs"] for r in runs])),
            ms(med([r["first"]["parseMs"] for r in runs])), ms(med(loaded)), spread(loaded),
            ms(floor) if floor is not None else "–", min(loads), max(loads)))

    if results.get("floor"):
        runs = results["floor"]
        print("\nThe floor, GTK and WebKitGTK alone (quillstone-bench-window-floor: a window with a "
              "one-line page): first window %s ms, page's script runs %s ms (medians of %d)."
              % (ms(med([r["toWindow"] for r in runs])), ms(med([r["toLoaded"] for r in runs])),
                 len(runs)))

    print("\n\"open\" round trip seen from the page, after loading (ms; median and spread of "
          "every round of every launch):\n")
    print("| library | reply form | reply (UTF-8) | as page string | non-ASCII | round trip "
          "| spread | floor: page's JSON.parse | spread | both: workspace in hand "
          "| host: `quillstone-cli open` |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for c in results["configs"]:
        if "reply" not in c:
            continue
        rounds = [r for run in c["launches"] for r in run["rounds"]]
        trips = [r["openMs"] for r in rounds]
        parses = [r["parseMs"] for r in rounds]
        facts = c["reply"]
        size = facts["escapedBytes"] if c["replyAscii"] == "1" else facts["utf8Bytes"]
        share = facts["nonAscii"] / facts["codePoints"] if facts["codePoints"] else 0
        both = [r["openMs"] + r["parseMs"] for r in rounds]
        chars = rounds[0]["chars"] if rounds else 0
        print("| %s (%d docs) | %s | %.1f MB | %.1f M chars | %.2f %% | **%s** | %s | **%s** | %s "
              "| %s | %s |"
              % (c["name"], rounds[0]["docs"] if rounds else 0, form_name(c["replyAscii"]),
                 size / 1e6, chars / 1e6, share * 100, ms(med(trips)), spread(trips),
                 ms(med(parses)), spread(parses), ms(med(both)), ms(med(c["cliOpenMs"]))))


if __name__ == "__main__":
    sys.exit(main())
