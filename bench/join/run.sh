#!/usr/bin/env bash
# Join of ten 200 MB segments (avirec's Full Frames, 1280x720, 73 frames
# each) into one movie: avirec --join against cp of the same ten files, in
# one run, on the same file system (a folder on disk: BENCH_WORK_DIR, else
# a new one under the build folder). Each repetition runs both twice: as
# they are (cp never flushes; the join flushes once it is finished, so that
# its success means a durable movie), and on equal terms: cp followed by
# sync of the copies, and the join with AVIFILE_SYNC=off. The segments are
# read once before, so both read them from the page cache; the outputs are
# removed between runs, and every run starts after a sync, so that none
# waits for the writeback of the one before (the figures still move with
# what the machine's other users write).
#   bench/join/run.sh [BUILD_DIR] [REPETITIONS]
set -euo pipefail
build=${1:-build}
repetitions=${2:-3}
avirec=$build/bin/avirec
[ -x "$avirec" ] || { echo "no $avirec: build first" >&2; exit 2; }
work=${BENCH_WORK_DIR:-$(mktemp -d -p "$build")}
[ -n "${BENCH_WORK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
segments=10
frames=73  # of 2.76 MB: 202 MB a segment

head -c $((1280 * 720 * 3 * frames)) /dev/urandom |
  "$avirec" -q -y --raw rgb24 --size 1280x720 --fps 25 --codec full "$work/segment0.avi"
for ((s = 1; s < segments; ++s)); do
  cp "$work/segment0.avi" "$work/segment$s.avi"
done
inputs=()
for ((s = 0; s < segments; ++s)); do
  inputs+=("$work/segment$s.avi")
done
mkdir -p "$work/copies"
cat "${inputs[@]}" > /dev/null
bytes=$(cat "${inputs[@]}" | wc -c)
seconds() { sync; /usr/bin/time -f %e "$@" 2>&1 >/dev/null | tail -1; }
rate() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.0f MB/s", b / s / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }

echo "$segments segments, $bytes bytes in all, in $work ($(df --output=fstype "$work" | tail -1))"
for ((i = 1; i <= repetitions; ++i)); do
  copy=$(seconds cp "${inputs[@]}" "$work/copies/")
  rm -f "$work"/copies/*
  join=$(seconds "$avirec" -q -y --join "$work/joined.avi" "${inputs[@]}")
  frames_joined=$(ffprobe -v error -show_entries stream=nb_frames -of csv=p=0 "$work/joined.avi")
  rm -f "$work/joined.avi"
  copy_synced=$(seconds sh -c 'cp "$@" "$0"/copies/ && sync "$0"/copies/*' "$work" "${inputs[@]}")
  rm -f "$work"/copies/*
  join_unsynced=$(seconds env AVIFILE_SYNC=off "$avirec" -q -y --join "$work/joined.avi" \
                    "${inputs[@]}")
  rm -f "$work/joined.avi"
  echo "run $i: as they are: cp ${copy} s ($(rate "$copy")), avirec --join ${join} s" \
       "($(rate "$join"), $frames_joined frames): $(ratio "$join" "$copy")x cp's speed;" \
       "flushed: cp+sync ${copy_synced} s, join ${join} s: $(ratio "$join" "$copy_synced")x;" \
       "unflushed: join ${join_unsynced} s: $(ratio "$join_unsynced" "$copy")x"
done
