#!/bin/sh
# Writes: one save with the thumbnail unchanged and changed, the search index catching up at
# launch, and a 60 MB write batch (many documents with large images) as one process: seconds and
# peak resident memory beside the batch's size.
#
#   bench/writes.sh [BUILD_DIR]   (default: build-release; configured with -DQUILLSTONE_BENCH=ON)
#
# BATCH_COUNT documents (default 200) with an image of IMAGE_BYTES (default 220000) each; the
# batch and its library go to $WORK (default: a new folder under $TMPDIR or /tmp, on disk, so
# that the fsyncs are paid). Results are printed and written to $OUT/writes.md.
# QUILLSTONE_BENCH_LIBRARY_30000=FOLDER adds the unchanged rewrite on a library of 30,000
# documents (such as the one bench/run.sh makes with SCALE="… 30000"); its documents are only
# written back as they are.
set -eu

build=${1:-build-release}
out=${OUT:-bench-results}
make="$build/bench/quillstone-bench-backup"
cli="$build/quillstone-cli"
bench="$build/bench/quillstone_bench"
for program in "$make" "$cli" "$bench"; do
  [ -x "$program" ] || { echo "writes.sh: $program is missing; build with -DQUILLSTONE_BENCH=ON" >&2; exit 2; }
done
if [ -z "${WORK:-}" ]; then
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/quillstone-writes-bench.XXXXXX")
  trap 'rm -rf "$WORK"' EXIT
fi
mkdir -p "$out"
export XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data"

{
  echo "### One save, and the search index at launch"
  echo
  echo '```'
  "$bench" --benchmark_filter='BM_Save|BM_BaselineDurableWrite/20/0|BM_UnchangedRewrite|BM_SearchIndexAtLaunch' \
    --benchmark_repetitions="${REPS:-3}" --benchmark_report_aggregates_only=true 2>&1
  echo '```'

  "$make" make --out "$WORK/backup.json" --batch "$WORK/batch.json" \
    --count "${BATCH_COUNT:-200}" --image-bytes "${IMAGE_BYTES:-220000}" >"$WORK/made"
  rm -f "$WORK/backup.json"
  bytes=$(stat -c %s "$WORK/batch.json")
  echo
  echo "### A write batch of $(cat "$WORK/made"): $bytes bytes"
  echo
  echo "| run | seconds | peak KiB | peak ÷ batch |"
  echo "|---|---:|---:|---:|"
  for run in 1 2 3; do
    rm -rf "$WORK/lib"
    /usr/bin/time -f "%e %M" -o "$WORK/time" \
      "$cli" --root "$WORK/lib/W" --support "$WORK/lib/S" write "$WORK/batch.json" >/dev/null
    read -r seconds peak <"$WORK/time"
    echo "| $run | $seconds | $peak | $(echo "scale=2; $peak * 1024 / $bytes" | bc) |"
  done
} | tee "$out/writes.md"
