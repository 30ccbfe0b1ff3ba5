#!/usr/bin/env bash
# Piped recording speed: 1920x1080 rgb24 frames piped into avirec (Full
# Frames) against the ffmpeg command line reading the same pipe into an
# uncompressed 24-bit AVI, and avirec reading the same frames from the file
# itself. The pipe alone (the frames carried through it and dropped, by
# bench_pipe_drain) shows how fast any program could take them from it.
# Each repetition runs every program once over an existing file and once
# writing a new file, alternating between them.
#   bench/pipe/run.sh [BUILD_DIR] [REPETITIONS] [FRAMES]
# Environment: BENCH_WORK_DIR (where the input and outputs go; default a new
# folder under /tmp, removed at the end).
set -euo pipefail
build=${1:-build}
repetitions=${2:-5}
frames=${3:-200}
width=1920
height=1080
fps=30
input_format=rgb24
source "$(dirname "$0")/../recording_bench.sh"

run_pipe() {
  cat "$input" | "$avirec" -y -q --codec full --fps "$fps" --raw rgb24 \
    --size "${width}x${height}" "$1" -
}
run_ffmpeg() {
  cat "$input" | ffmpeg -v error -y -f rawvideo -pix_fmt rgb24 -s "${width}x${height}" \
    -r "$fps" -i - -c:v rawvideo -pix_fmt bgr24 "$1"
}
run_file() {
  "$avirec" -y -q --codec full --fps "$fps" --raw rgb24 --size "${width}x${height}" \
    "$1" "$input" </dev/null
}
# Leaves a note where the others leave their output, so that each mode
# finds a file as it does for them.
run_drain() {
  cat "$input" | "$build/bin/bench_pipe_drain" $((width * height * 3))
  echo "frames dropped, nothing recorded" > "$1"
}
[ -x "$build/bin/bench_pipe_drain" ] || { echo "no $build/bin/bench_pipe_drain; build the project first" >&2; exit 1; }
prepare_input
take_turns pipe ffmpeg file drain

echo
echo "median of $repetitions runs, $frames frames of ${width}x${height} rgb24:"
for mode in existing new; do
  p=$(echo "${wall[pipe,$mode]}" | median)
  f=$(echo "${wall[ffmpeg,$mode]}" | median)
  r=$(echo "${wall[file,$mode]}" | median)
  d=$(echo "${wall[drain,$mode]}" | median)
  printf '%-8s file: avirec from a pipe %6.1f fps, ffmpeg from a pipe %6.1f fps (avirec %.2fx), avirec from the file %6.1f fps (pipe %.2fx of it), the pipe alone %6.1f fps (avirec from a pipe %.2fx of it)\n' \
         "$mode" "$(calc "$frames / $p")" "$(calc "$frames / $f")" "$(calc "$f / $p")" \
         "$(calc "$frames / $r")" "$(calc "$r / $p")" "$(calc "$frames / $d")" "$(calc "$d / $p")"
done
