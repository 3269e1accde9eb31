#!/usr/bin/env python3
"""Cost per document of `quillstone-cli open` and `scan` against the document count.

    python3 bench/scale.py BUILD_DIR COUNT=FOLDER [COUNT=FOLDER ...] [--runs N] [--out DIR]

Each FOLDER is a workspace made by quillstone-bench-generate (FOLDER/Quillstone, FOLDER/support).
For each, the script times whole processes (the median of N runs after one warm-up, warm page
cache): `quillstone-cli open` and `scan`, the floor (quillstone-bench-floor: read and parse every
document.json once, one thread) and, when `node` is installed, the JavaScript peer
(bench/node_peer.js). It records each process's peak resident memory and the load average, and
writes scale.json, scale.md and scale.svg (microseconds a document against the count) to DIR
(default bench-results).
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run_once(argv, env):
    """Wall seconds and peak resident memory (bytes) of one run, its output thrown away."""
    with open(os.devnull, "wb") as devnull:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=devnull, stderr=devnull, env=env)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"scale.py: {' '.join(argv)} failed ({status})")
    return seconds, usage.ru_maxrss * 1024


def measure(argv, runs, env):
    run_once(argv, env)  # warm-up: page cache, dynamic loader
    times, peaks = [], []
    for _ in range(runs):
        seconds, peak = run_once(argv, env)
        times.append(seconds)
        peaks.append(peak)
    return {"seconds": statistics.median(times), "min": min(times), "max": max(times),
            "peak_bytes": max(peaks)}


def svg_plot(rows, names, path):
    """Microseconds a document against the count (log scale), one line a process."""
    width, height, left, right, top, bottom = 720, 420, 70, 170, 30, 50
    counts = [r["count"] for r in rows]
    values = [r[n]["seconds"] * 1e6 / r["count"] for r in rows for n in names if n in r]
    import math
    lo_x, hi_x = math.log10(min(counts)), math.log10(max(counts))
    hi_y = max(values) * 1.15
    x = lambda c: left + (math.log10(c) - lo_x) / ((hi_x - lo_x) or 1) * (width - left - right)
    y = lambda v: top + (1 - v / hi_y) * (height - top - bottom)
    colours = ["#c0392b", "#2471a3", "#7d8c8d", "#b9770e", "#239b56"]
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="{left}" y="18" font-size="14">Cost per document against the number of '
           f'documents (warm cache)</text>']
    step = 10 ** math.floor(math.log10(hi_y / 2))
    v = 0.0
    while v <= hi_y:
        out.append(f'<line x1="{left}" x2="{width - right}" y1="{y(v):.1f}" y2="{y(v):.1f}" '
                   f'stroke="#ddd"/><text x="{left - 6}" y="{y(v) + 4:.1f}" '
                   f'text-anchor="end">{v:g}</text>')
        v += step * (2 if hi_y / step > 8 else 1)
    for c in counts:
        out.append(f'<line x1="{x(c):.1f}" x2="{x(c):.1f}" y1="{top}" y2="{height - bottom}" '
                   f'stroke="#eee"/><text x="{x(c):.1f}" y="{height - bottom + 16}" '
                   f'text-anchor="middle">{c:,}</text>')
    out.append(f'<text x="{(left + width - right) / 2}" y="{height - 12}" text-anchor="middle">'
               f'documents (log scale)</text>')
    out.append(f'<text x="16" y="{(top + height - bottom) / 2}" text-anchor="middle" '
               f'transform="rotate(-90 16 {(top + height - bottom) / 2})">µs a document</text>')
    for i, name in enumerate(names):
        points = [(x(r["count"]), y(r[name]["seconds"] * 1e6 / r["count"]))
                  for r in rows if name in r]
        if not points:
            continue
        colour = colours[i % len(colours)]
        out.append(f'<polyline fill="none" stroke="{colour}" stroke-width="2" points="'
                   + " ".join(f"{px:.1f},{py:.1f}" for px, py in points) + '"/>')
        for px, py in points:
            out.append(f'<circle cx="{px:.1f}" cy="{py:.1f}" r="3" fill="{colour}"/>')
        ly = top + 20 + i * 20
        out.append(f'<line x1="{width - right + 12}" x2="{width - right + 32}" y1="{ly}" '
                   f'y2="{ly}" stroke="{colour}" stroke-width="2"/><text '
                   f'x="{width - right + 38}" y="{ly + 4}">{name}</text>')
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("workspaces", nargs="+", help="COUNT=FOLDER")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--out", default="bench-results")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    cli = os.path.join(args.build, "quillstone-cli")
    floor = os.path.join(args.build, "bench", "quillstone-bench-floor")
    node = shutil.which("node")
    home = tempfile.mkdtemp()
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(home, "config"),
               XDG_DATA_HOME=os.path.join(home, "data"))
    rows = []
    for pair in args.workspaces:
        count, folder = pair.split("=", 1)
        root, support = os.path.join(folder, "Quillstone"), os.path.join(folder, "support")
        where = ["--root", root, "--support", support]
        floor_out = json.loads(subprocess.run([floor, root, support], check=True,
                                              capture_output=True, text=True).stdout)
        row = {"count": int(count), "documents": floor_out["documents"],
               "bytes": floor_out["bytes"], "load": os.getloadavg()[0]}
        row["open"] = measure([cli, *where, "open"], args.runs, env)
        row["scan"] = measure([cli, *where, "scan"], args.runs, env)
        row["floor"] = measure([floor, root, support], args.runs, env)
        if node:
            row["node"] = measure([node, os.path.join(HERE, "node_peer.js"), root, support],
                                  args.runs, env)
        row["load_after"] = os.getloadavg()[0]
        rows.append(row)
        print(json.dumps(row), flush=True)
    shutil.rmtree(home, ignore_errors=True)
    rows.sort(key=lambda r: r["count"])
    with open(os.path.join(args.out, "scale.json"), "w") as f:
        json.dump(rows, f, indent=1)
    names = [n for n in ("open", "scan", "floor", "node") if any(n in r for r in rows)]
    with open(os.path.join(args.out, "scale.md"), "w") as f:
        f.write("| documents | MB of document.json | load | "
                + " | ".join(f"{n} s (µs/doc)" for n in names)
                + " | open peak MB (÷ documents' bytes) |\n")
        f.write("|---:" * (4 + len(names)) + "|\n")
        for r in rows:
            cells = [f'{r[n]["seconds"]:.3f} ({r[n]["seconds"] * 1e6 / r["count"]:.0f})'
                     for n in names if n in r]
            peak = r["open"]["peak_bytes"]
            f.write(f'| {r["count"]:,} | {r["bytes"] / 1e6:.1f} | {r["load"]:.1f}–'
                    f'{r["load_after"]:.1f} | ' + " | ".join(cells)
                    + f' | {peak / 1e6:.0f} ({peak / r["bytes"]:.2f}×) |\n')
    svg_plot(rows, names, os.path.join(args.out, "scale.svg"))


if __name__ == "__main__":
    main()
