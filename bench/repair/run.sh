#!/usr/bin/env bash
# Repair of a cut-off 4 GiB recording: avirec --repair in place against
# ffmpeg's re-mux of the same file (-c copy, the usual way out), in one run.
# The recording is ffmpeg's own (1 MiB frames, large-file AVI with a RIFF
# per GiB), cut inside a frame of its fifth RIFF. Each repetition cuts a
# fresh copy of the complete file's bytes back to the same length (the
# repair itself shortens the file), so both programs start from the same
# bytes, and both run with the file in the page cache.
#   bench/repair/run.sh [BUILD_DIR] [REPETITIONS]
# Environment: BENCH_WORK_DIR (where the files go; default a new folder
# under /tmp, removed at the end; it needs about 9 GiB).
set -euo pipefail
build=${1:-build}
repetitions=${2:-3}
avirec=$build/bin/avirec
[ -x "$avirec" ] || { echo "no $avirec: build first" >&2; exit 2; }
work=${BENCH_WORK_DIR:-$(mktemp -d)}
[ -n "${BENCH_WORK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
frames=4200  # of 1 MiB: 4.1 GiB
cut_at=$((4400 * 1000 * 1000 + 12345))

head -c $((8 << 20)) /dev/urandom > "$work/frames.raw"
ffmpeg -v error -y -f rawvideo -pix_fmt gray -s 1024x1024 -r 25 -stream_loop -1 \
  -i "$work/frames.raw" -frames:v "$frames" -c:v rawvideo "$work/complete.avi"
seconds() { /usr/bin/time -f %e "$@" 2>&1 >/dev/null | tail -1; }

echo "file: $(stat -c %s "$work/complete.avi") bytes, cut to $cut_at"
for ((i = 1; i <= repetitions; ++i)); do
  cp "$work/complete.avi" "$work/cut.avi"
  truncate -s "$cut_at" "$work/cut.avi"
  cat "$work/cut.avi" > /dev/null
  remux=$(seconds ffmpeg -v error -y -i "$work/cut.avi" -c copy "$work/remux.avi")
  rm -f "$work/remux.avi"
  repair=$(seconds "$avirec" -q --repair "$work/cut.avi")
  frames_after=$(ffprobe -v error -show_entries stream=nb_frames -of csv=p=0 "$work/cut.avi")
  echo "run $i: avirec --repair in place ${repair} s ($frames_after frames indexed);" \
       "ffmpeg -i cut.avi -c copy ${remux} s"
done
