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
input_format=gbrp
source "$(dirname "$0")/../recording_bench.sh"

run_avirec() {
  VFW_COMPRESSOR=full "$avirec" -y --fps "$fps" --size "${width}x${height}" \
    --raw-gbrp "$input" "$1" </dev/null
}
run_ffmpeg() {
  ffmpeg -v error -y -f rawvideo -pix_fmt gbrp -s "${width}x${height}" -r "$fps" -i "$input" \
         -c:v rawvideo -pix_fmt bgr24 "$1" </dev/null
}

prepare_input
take_turns avirec ffmpeg

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
