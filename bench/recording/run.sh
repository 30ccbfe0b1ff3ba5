#!/usr/bin/env bash
# Recording speed: avirec (Full Frames) against the ffmpeg command line doing
# the same job on the same frames: 1920x1080 planar RGB in, uncompressed
# 24-bit AVI out. Each repetition runs both programs twice, once writing over
# an existing file and once writing a new file, alternating between them.
#   bench/recording/run.sh [BUILD_DIR] [REPETITIONS] [FRAMES]
# Environment: BENCH_WORK_DIR (where the 1.9 GB input and outputs go;
# default a new folder under /tmp, removed at the end).
set -euo pipefail
build=${1:-build}
repetitions=${2:-5}
frames=${3:-300}
width=1920
height=1080
fps=30
avirec="$build/bin/avirec"
[ -x "$avirec" ] || { echo "no $avirec; build the project first" >&2; exit 1; }

work=${BENCH_WORK_DIR:-}
if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/avi-bench-XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
input="$work/frames.gbrp"

# The frames: ffmpeg's moving test source as planar G, B, R samples, the
# layout that both programs read.
if [ ! -s "$input" ]; then
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=${width}x${height}:rate=$fps" \
         -frames:v "$frames" -pix_fmt gbrp -f rawvideo "$input"
fi
cat "$input" > /dev/null  # in the page cache for both programs alike

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

run_avirec() {
  VFW_COMPRESSOR=full "$avirec" -y --fps "$fps" --size "${width}x${height}" \
    --raw-gbrp "$input" "$1" </dev/null
}
run_ffmpeg() {
  ffmpeg -v error -y -f rawvideo -pix_fmt gbrp -s "${width}x${height}" -r "$fps" -i "$input" \
         -c:v rawvideo -pix_fmt bgr24 "$1" </dev/null
}

# Wall-clock and CPU (user + system) seconds of one run; the output is
# prepared first (removed for a new file, or left from the previous run) and
# earlier writes are flushed, so that no run pays for another's write-back.
# CPU time is the steadier figure on a busy machine.
timed() {
  local tool=$1 mode=$2 out="$work/$1.avi"
  if [ "$mode" = new ]; then rm -f "$out"; fi
  if [ "$mode" = existing ] && [ ! -s "$out" ]; then "run_$tool" "$out"; fi
  sync
  local TIMEFORMAT='%R %U %S' measured
  measured=$( { time "run_$tool" "$out" 2>/dev/null; } 2>&1 )
  read -r real user sys <<<"$measured"
  echo "$real $(calc "$user + $sys")"
}

declare -A wall cpu
for ((rep = 1; rep <= repetitions; ++rep)); do
  for mode in existing new; do
    for tool in avirec ffmpeg; do
      read -r w c <<<"$(timed "$tool" "$mode")"
      wall[$tool,$mode]+="$w "
      cpu[$tool,$mode]+="$c "
      printf 'rep %d  %-8s %-7s %6.3f s  %6.1f fps   cpu %6.3f s\n' "$rep" "$mode" "$tool" "$w" \
             "$(calc "$frames / $w")" "$c"
    done
  done
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

echo
echo "median of $repetitions runs, $frames frames of ${width}x${height}:"
for mode in existing new; do
  a=$(echo "${wall[avirec,$mode]}" | median)
  f=$(echo "${wall[ffmpeg,$mode]}" | median)
  ac=$(echo "${cpu[avirec,$mode]}" | median)
  fc=$(echo "${cpu[ffmpeg,$mode]}" | median)
  printf '%-8s file: avirec %6.1f fps (%.3f s), ffmpeg %6.1f fps (%.3f s): avirec %.2fx ffmpeg\n' \
         "$mode" "$(calc "$frames / $a")" "$a" "$(calc "$frames / $f")" "$f" "$(calc "$f / $a")"
  printf '%-8s      cpu: avirec %.3f s, ffmpeg %.3f s: avirec %.2fx ffmpeg\n' \
         "" "$ac" "$fc" "$(calc "$fc / $ac")"
done
