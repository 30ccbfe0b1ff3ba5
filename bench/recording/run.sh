#!/usr/bin/env bash
# Recording speed: avirec against the ffmpeg command line doing the same job
# on the same frames (planar RGB in; Full Frames: uncompressed 24-bit AVI
# out), and against dd writing as many bytes with direct I/O and buffered
# (the bytes alone, nothing done to them). avirec runs
# twice: with the file sink's automatic choice (direct I/O for large
# samples on a disk) and forced to buffered writes (as before direct I/O).
# Each repetition runs every program in each mode, taking turns: over its
# previous output as the page cache left it ("existing": direct writes leave
# none of it there, buffered ones all), over it dropped from the cache
# ("cold"), over a copy of it that the cache holds whole ("warm", as every
# existing file was before direct I/O), and into a new file ("new"). Each
# run also shows how much of its output stays in the page cache.
#   bench/recording/run.sh [BUILD_DIR] [REPETITIONS] [FRAMES]
# Environment: BENCH_WORK_DIR (where the input and outputs go; default a new
# folder under /tmp, removed at the end); BENCH_SIZE (default 1920x1080);
# BENCH_CODEC (full, the default, or any --codec choice such as mjpeg; dd
# only runs for full); BENCH_SYNC (seconds of media between flushes to the
# device, AVIFILE_SYNC_SECONDS, for avirec; default none); BENCH_NO_SYNC=1
# (AVIFILE_SYNC=off: no flush at all, not even at close; by default a
# finished movie is durable); BENCH_MODES (default "existing cold warm
# new"); BENCH_TOOLS (default every tool). The tool "ffmpegsync" is ffmpeg
# followed by sync, which makes the same promise as avirec's close; the
# tools "atclose" (AVIFILE_SYNC_SECONDS=0: flushed only at close) and
# "nosync" (AVIFILE_SYNC=off) are avirec with its other durability settings.
set -euo pipefail
build=${1:-build}
repetitions=${2:-5}
frames=${3:-300}
size=${BENCH_SIZE:-1920x1080}
width=${size%x*}
height=${size#*x}
codec=${BENCH_CODEC:-full}
fps=30
input_format=gbrp
modes=${BENCH_MODES:-existing cold warm new}
source "$(dirname "$0")/../recording_bench.sh"

avirec_with() {
  env AVIFILE_WRITE_MODE="$1" ${BENCH_SYNC:+AVIFILE_SYNC_SECONDS=$BENCH_SYNC} \
    ${BENCH_NO_SYNC:+AVIFILE_SYNC=off} ${extra_env:-} \
    VFW_COMPRESSOR="$codec" "$avirec" -y --fps "$fps" --size "${width}x${height}" \
    --raw-gbrp "$input" "$2" </dev/null
}
run_avirec() { avirec_with auto "$1"; }
run_buffered() { avirec_with buffered "$1"; }
run_atclose() { extra_env=AVIFILE_SYNC_SECONDS=0 avirec_with auto "$1"; }
run_nosync() { extra_env=AVIFILE_SYNC=off avirec_with auto "$1"; }
run_ffmpeg() {
  local encoder=(-c:v rawvideo -pix_fmt bgr24)
  if [ "$codec" != full ]; then encoder=(-c:v "${codec%%,*}"); fi
  ffmpeg -v error -y -f rawvideo -pix_fmt gbrp -s "${width}x${height}" -r "$fps" -i "$input" \
         "${encoder[@]}" "$1" </dev/null
}
run_ffmpegsync() { run_ffmpeg "$1" && sync; }
# The same number of bytes as the frames (a gbrp frame has as many as a
# 24-bit one), a frame a write, straight to the device.
run_dd() {
  dd if="$input" of="$1" bs=$((width * height * 3)) oflag=direct status=none
}
# The same bytes written buffered with nothing done to them, in avirec's
# 512 KiB pieces, over the earlier file in place as avirec writes: how fast
# the system takes them into its cache.
run_ddbuf() {
  dd if="$input" of="$1" bs=512K conv=notrunc status=none
}

tools=(avirec buffered atclose nosync ffmpeg ffmpegsync)
if [ "$codec" = full ]; then tools+=(dd ddbuf); fi
if [ -n "${BENCH_TOOLS:-}" ]; then read -r -a tools <<<"$BENCH_TOOLS"; fi
prepare_input
take_turns "${tools[@]}"

echo
echo "median of $repetitions runs, $frames frames of ${width}x${height}, codec $codec${BENCH_SYNC:+, flushed every $BENCH_SYNC s of media}:"
for mode in $modes; do
  f=$(echo "${wall[ffmpeg,$mode]}" | median)
  if [ -n "${wall[ffmpegsync,$mode]:-}" ]; then
    printf '%-8s ffmpeg followed by sync: %.3f s\n' "$mode" "$(echo "${wall[ffmpegsync,$mode]}" | median)"
  fi
  for tool in avirec buffered atclose nosync; do
    [ -n "${wall[$tool,$mode]:-}" ] || continue
    a=$(echo "${wall[$tool,$mode]}" | median)
    ac=$(echo "${cpu[$tool,$mode]}" | median)
    line=$(printf '%-8s %-8s %6.1f fps (%.3f s, cpu %.3f s): %.2fx ffmpeg (%.3f s)' \
           "$mode" "$tool" "$(calc "$frames / $a")" "$a" "$ac" "$(calc "$f / $a")" "$f")
    if [ -n "${wall[dd,$mode]:-}" ]; then
      d=$(echo "${wall[dd,$mode]}" | median)
      line+=$(printf ', %.2fx dd (%.3f s)' "$(calc "$d / $a")" "$d")
    fi
    if [ -n "${wall[ddbuf,$mode]:-}" ]; then
      d=$(echo "${wall[ddbuf,$mode]}" | median)
      line+=$(printf ', %.2fx dd buffered (%.3f s)' "$(calc "$d / $a")" "$d")
    fi
    if [ -n "${cached[$tool,$mode]:-}" ]; then
      line+=$(printf ', cached %s MiB' "$(echo "${cached[$tool,$mode]}" | median)")
    fi
    echo "$line"
  done
done
