#!/usr/bin/env bash
# Frames per second of every compressor on offer at 640x480 and 1920x1080,
# through the layer's encoder and AVI writer, next to the ffmpeg command line
# encoding the same frames with the same encoder and settings into AVI; with
# each side's bytes per frame and PSNR. Two sequences: the tests' moving
# picture and a zoom over a photograph (python-matplotlib-data's sample
# portrait). AVIFILE_LIBRARY_ENCODERS=1 in the environment puts the library
# encoders behind our side for Video 1 and Cinepak too.
#   scripts/bench-codecs.sh [build-dir] [bench_codecs options...]
#   options: --quick (a quarter of the frames), --rounds N (5), --only CODE,
#            --sequence moving|photo, --photo FILE, --commands, --keep,
#            --dir FOLDER (for the raw input and the movies; /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [[ $# -gt 0 ]]; then shift; fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target bench_codecs -j"$(nproc)" >/dev/null
echo "cores: $(nproc), load: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bin/bench_codecs" "$@"
