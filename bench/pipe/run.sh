#!/usr/bin/env bash
# Piped recording speed: 1920x1080 rgb24 frames piped into avirec (Full
# Frames) against the ffmpeg command line reading the same pipe into an
# uncompressed 24-bit AVI, and avirec reading the same frames from the file
# itself. Each repetition runs every program once over an existing file and
# once writing a new file, alternating between them.
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
avirec="$build/bin/avirec"
[ -x "$avirec" ] || { echo "no $avirec; build the project first" >&2; exit 1; }

work=${BENCH_WORK_DIR:-}
if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/avi-pipe-bench-XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
input="$work/frames.rgb"

# The frames, made once: ffmpeg's moving test source as packed RGB.
if [ ! -s "$input" ]; then
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=${width}x${height}:rate=$fps" \
         -frames:v "$frames" -pix_fmt rgb24 -f rawvideo "$input"
fi
cat "$input" > /dev/null  # in the page cache for every program alike

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

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
tools="pipe ffmpeg file"

# Wall-clock seconds of one run; the output is prepared first (removed for a
# new file, or left from an earlier run) and earlier writes are flushed.
timed() {
  local tool=$1 mode=$2 out="$work/$1.avi"
  if [ "$mode" = new ]; then rm -f "$out"; fi
  if [ "$mode" = existing ] && [ ! -s "$out" ]; then "run_$tool" "$out"; fi
  sync
  local TIMEFORMAT='%R' measured
  measured=$( { time "run_$tool" "$out" 2>/dev/null; } 2>&1 )
  echo "$measured"
}

declare -A wall
for ((rep = 1; rep <= repetitions; ++rep)); do
  for mode in existing new; do
    for tool in $tools; do
      w=$(timed "$tool" "$mode")
      wall[$tool,$mode]+="$w "
      printf 'rep %d  %-8s %-7s %6.3f s  %6.1f fps\n' "$rep" "$mode" "$tool" "$w" \
             "$(calc "$frames / $w")"
    done
  done
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

echo
echo "median of $repetitions runs, $frames frames of ${width}x${height} rgb24:"
for mode in existing new; do
  p=$(echo "${wall[pipe,$mode]}" | median)
  f=$(echo "${wall[ffmpeg,$mode]}" | median)
  r=$(echo "${wall[file,$mode]}" | median)
  printf '%-8s file: avirec from a pipe %6.1f fps, ffmpeg from a pipe %6.1f fps (avirec %.2fx), avirec from the file %6.1f fps (pipe %.2fx of it)\n' \
         "$mode" "$(calc "$frames / $p")" "$(calc "$frames / $f")" "$(calc "$f / $p")" \
         "$(calc "$frames / $r")" "$(calc "$r / $p")"
done
