#!/bin/sh
# Runs the benchmarks and the whole-process timings that bench/README.md reports.
#
#   bench/run.sh [BUILD_DIR]     (default: build-release, the Release build a user gets,
#                                 configured and built here with -DQUILLSTONE_BENCH=ON)
#
# Results go to $OUT (default: bench-results in the current folder): quillstone_bench.json and
# .txt from Google Benchmark, and process-*.md from hyperfine (or a plain timing loop when
# hyperfine isn't installed). The 1,000- and 10,000-document workspaces are generated on the
# first run and kept (QUILLSTONE_BENCH_DIR, else /tmp/quillstone-bench-<count>-<seed>-<words>).
# RUNS (default 10) sets the runs of each process timing, REPS (default 3) the repetitions of
# each benchmark, BENCH_FILTER a regular expression of the benchmarks to run. COLD=1 adds
# timings on a cold page cache: it needs root, and drops the cache of the whole machine, so
# don't use it while others measure anything.
set -eu

build=${1:-build-release}
out=${OUT:-bench-results}
runs=${RUNS:-10}
mkdir -p "$out"

if [ $# -eq 0 ]; then
  cmake -S "$(dirname "$0")/.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQUILLSTONE_BENCH=ON >/dev/null
  cmake --build "$build" --target quillstone_bench quillstone-bench-generate quillstone-cli \
    quillstone-bench-floor
fi

bench="$build/bench/quillstone_bench"
cli="$build/quillstone-cli"
for program in "$bench" "$cli"; do
  [ -x "$program" ] || { echo "run.sh: $program is missing; build with -DQUILLSTONE_BENCH=ON" >&2; exit 2; }
done

# 1. Google Benchmark: package operations, then the library on 1,000 and 10,000 documents.
# Each benchmark runs $REPS times; the console shows mean, median and spread.
"$bench" --benchmark_out="$out/quillstone_bench.json" --benchmark_out_format=json \
  --benchmark_repetitions="${REPS:-3}" --benchmark_display_aggregates_only=true \
  ${BENCH_FILTER:+--benchmark_filter="$BENCH_FILTER"} | tee "$out/quillstone_bench.txt"

# 2. Whole processes on the 10,000-document workspace, beside `find … -exec cat`.
if [ -n "${QUILLSTONE_BENCH_DIR:-}" ]; then
  workspace="$QUILLSTONE_BENCH_DIR/10000-1-300"
else
  workspace="${TMPDIR:-/tmp}/quillstone-bench-10000-1-300"
fi
if [ ! -f "$workspace/generated.json" ]; then
  "$bench" --benchmark_filter='BM_Rescan/10000' >/dev/null
fi
root="$workspace/Quillstone"
support="$workspace/support"

# The tool reads settings and may log; keep that away from the user's own folders.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data"

open_cmd="$cli --root $root --support $support open"
scan_cmd="$cli --root $root --support $support scan"
find_cmd="find $root -name document.json -exec cat {} +"
# The floor: every document.json read and parsed once, one thread. The JavaScript peer (read,
# JSON.parse, collect, JSON.stringify) when node is installed.
floor_cmd="$build/bench/quillstone-bench-floor $root $support"
node_cmd=""
if command -v node >/dev/null; then
  node_cmd="node $(dirname "$0")/node_peer.js $root $support"
fi

can_drop_caches() {
  [ "${COLD:-0}" = 1 ] && [ -w /proc/sys/vm/drop_caches ] && sync &&
    echo 3 >/proc/sys/vm/drop_caches 2>/dev/null
}

if command -v hyperfine >/dev/null; then
  hyperfine --warmup 1 --runs "$runs" --export-markdown "$out/process-warm.md" \
    -n "quillstone-cli open" "$open_cmd" \
    -n "quillstone-cli scan" "$scan_cmd" \
    -n "find -exec cat" "$find_cmd" \
    -n "floor: read and parse" "$floor_cmd" \
    ${node_cmd:+-n "node peer" "$node_cmd"}
  if can_drop_caches; then
    hyperfine --runs "$((runs / 2 > 3 ? runs / 2 : 3))" --export-markdown "$out/process-cold.md" \
      --prepare 'sync; echo 3 > /proc/sys/vm/drop_caches' \
      -n "quillstone-cli open (cold)" "$open_cmd" \
      -n "quillstone-cli scan (cold)" "$scan_cmd" \
      -n "find -exec cat (cold)" "$find_cmd"
  fi
else
  # Median of $runs wall-clock runs, in milliseconds.
  time_ms() {
    sh -c "$1" >/dev/null 2>&1  # warm-up
    i=0
    while [ "$i" -lt "$runs" ]; do
      start=$(date +%s%N)
      sh -c "$1" >/dev/null 2>&1
      echo $(( ($(date +%s%N) - start) / 1000000 ))
      i=$((i + 1))
    done | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
  }
  {
    echo "| Command | Median [ms] |"
    echo "|:---|---:|"
    echo "| quillstone-cli open | $(time_ms "$open_cmd") |"
    echo "| quillstone-cli scan | $(time_ms "$scan_cmd") |"
    echo "| find -exec cat | $(time_ms "$find_cmd") |"
    echo "| floor: read and parse | $(time_ms "$floor_cmd") |"
    [ -z "$node_cmd" ] || echo "| node peer | $(time_ms "$node_cmd") |"
  } | tee "$out/process-warm.md"
fi

# 3. Peak memory of open, and cost per document against the count: SCALE lists the counts
# (default 1000 10000; the README's plot used 1000 3000 10000 30000). Workspaces other than
# 10,000 are generated on first use into $SCALE_DIR (default /tmp/quillstone-scale-<count>).
scale_args=""
for count in ${SCALE:-1000 10000}; do
  if [ "$count" = 10000 ]; then
    folder="$workspace"
  else
    folder="${SCALE_DIR:-${TMPDIR:-/tmp}}/quillstone-scale-$count"
    if [ ! -d "$folder/Quillstone" ]; then
      "$build/bench/quillstone-bench-generate" --root "$folder/Quillstone" \
        --support "$folder/support" --count "$count" --seed 1 --size 300 >/dev/null
    fi
  fi
  scale_args="$scale_args $count=$folder"
done
# shellcheck disable=SC2086
python3 "$(dirname "$0")/scale.py" "$build" $scale_args --runs "${SCALE_RUNS:-5}" --out "$out"
