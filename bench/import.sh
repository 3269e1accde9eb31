#!/bin/sh
# The backup import beside a write of the same documents as one batch, and beside merely
# parsing the file: seconds, documents a second and the peak memory of each process.
#
#   bench/import.sh [BUILD_DIR]   (default: build; configured with -DQUILLSTONE_BENCH=ON)
#
# COUNT (default 10000) documents of about WORDS (default 300) words; BIG=1 adds the backup
# near 400 MB (BIG_COUNT documents, default 1000, each with a ~283 KB image, and 40 captures).
# The files and libraries go to $WORK (default: a new folder in /dev/shm when it exists, so
# that the disk's fsync, which every package write pays, doesn't drown the comparison; WORK
# on a disk gives figures with it). Results are printed and written to $OUT/import.md.
set -eu

build=${1:-build}
out=${OUT:-bench-results}
count=${COUNT:-10000}
words=${WORDS:-300}
make="$build/bench/quillstone-bench-backup"
cli="$build/quillstone-cli"
for program in "$make" "$cli"; do
  [ -x "$program" ] || { echo "import.sh: $program is missing; build with -DQUILLSTONE_BENCH=ON" >&2; exit 2; }
done
if [ -z "${WORK:-}" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; else base=${TMPDIR:-/tmp}; fi
  WORK=$(mktemp -d "$base/quillstone-import-bench.XXXXXX")
  trap 'rm -rf "$WORK"' EXIT
fi
mkdir -p "$out"
export XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data"

# One process: its seconds and peak resident memory (KiB), from /usr/bin/time when installed.
measure() {
  label=$1
  shift
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%e %M" -o "$WORK/time" "$@" >"$WORK/stdout"
    read -r seconds peak <"$WORK/time"
  else
    start=$(date +%s%N)
    "$@" >"$WORK/stdout"
    seconds=$(echo "scale=2; ($(date +%s%N) - $start) / 1000000000" | bc)
    peak="?"
  fi
  echo "| $label | $seconds | $peak |"
}

run() {
  name=$1
  shift
  file="$WORK/$name.json"
  batch="$WORK/$name-batch.json"
  "$make" make --out "$file" --batch "$batch" "$@" >"$WORK/made"
  bytes=$(stat -c %s "$file")
  echo
  echo "### $name: $(cat "$WORK/made"), $((bytes / 1048576)) MiB"
  echo
  echo "| process | seconds | peak KiB |"
  echo "|---|---|---|"
  rm -rf "$WORK/lib"
  measure "import-backup" "$cli" --root "$WORK/lib/W" --support "$WORK/lib/S" import-backup "$file"
  cat "$WORK/stdout" >&2
  rm -rf "$WORK/lib"
  measure "write (one batch)" "$cli" --root "$WORK/lib/W" --support "$WORK/lib/S" write "$batch"
  rm -rf "$WORK/lib"
  measure "parse only" "$make" parse "$file"
  rm -f "$file" "$batch"
}

{
  run "backup-$count" --count "$count" --size "$words"
  if [ "${BIG:-0}" = 1 ]; then
    run "backup-near-400MB" --count "${BIG_COUNT:-1000}" --size "$words" --image-bytes 283000 --captures 40
  fi
} | tee "$out/import.md"
