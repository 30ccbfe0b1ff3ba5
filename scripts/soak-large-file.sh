#!/usr/bin/env bash
# Large-file soak: writes a recording of more than 4 GiB of 1920x1080 24-bit
# frames through the AVI writer with its default settings (a new RIFF every
# 1 GiB), then checks that ffmpeg reads every frame back and that sampled
# frames have the content written. Prints the figures; deletes the file.
#   scripts/soak-large-file.sh            (build dir: build, file in /tmp)
#   BUILD_DIR=build-x SOAK_DIR=/data SOAK_FRAMES=800 scripts/soak-large-file.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
dir=${SOAK_DIR:-/tmp}
frames=${SOAK_FRAMES:-720}  # 720 frames of 6,220,800 bytes: 4.48 GB, past 4 GiB
frame_bytes=6220800

need=$(( frames * (frame_bytes + 8) + (64 << 20) ))
avail=$(( $(df --output=avail -B1 "$dir" | tail -1) ))
if [ "$avail" -lt $(( need + (2 << 30) )) ]; then
  echo "soak: $dir has $avail bytes free, needs $need plus 2 GiB to spare" >&2
  exit 1
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target soak_writer -j2 >/dev/null
writer="$build/bin/soak_writer"

file="$dir/soak-$$.avi"
work=$(mktemp -d)
trap 'rm -f "$file"; rm -rf "$work"' EXIT

echo "== Writing $frames frames to $file"
"$writer" write "$file" "$frames" | tee "$work/write.txt"

echo "== ffprobe"
start=$(date +%s.%N)
ffprobe -v error -select_streams v:0 -count_packets \
  -show_entries stream=codec_name,width,height,nb_frames,nb_read_packets,duration \
  -of default=nw=1 "$file" | tee "$work/probe.txt"
echo "probe_seconds=$(echo "$(date +%s.%N) - $start" | bc)"

echo "== ffmpeg decoding every frame"
start=$(date +%s.%N)
ffmpeg -v error -i "$file" -map 0:v:0 -pix_fmt rgb24 -f framemd5 "$work/frames.md5"
read_seconds=$(echo "$(date +%s.%N) - $start" | bc)
decoded=$(grep -vc '^#' "$work/frames.md5")
echo "decoded_frames=$decoded"
echo "read_seconds=$read_seconds"

status=0
if [ "$decoded" -ne "$frames" ]; then
  echo "FAIL: ffmpeg decoded $decoded frames of $frames" >&2
  status=1
fi
packets=$(sed -n 's/^nb_read_packets=//p' "$work/probe.txt")
if [ "$packets" != "$frames" ]; then
  echo "FAIL: ffprobe counted $packets packets of $frames" >&2
  status=1
fi

# Frames at the start, around each 1 GiB boundary, past 4 GiB, at the end.
per_gib=$(( (1 << 30) / (frame_bytes + 8) ))
checks="0 1 $per_gib $(( per_gib + 1 )) $(( 2 * per_gib + 1 )) $(( 3 * per_gib + 2 ))"
checks="$checks $(( (4 << 30) / (frame_bytes + 8) + 1 )) $(( frames - 1 ))"
for n in $checks; do
  [ "$n" -lt "$frames" ] || continue
  expected=$("$writer" frame "$n" | md5sum | cut -d' ' -f1)
  got=$(grep -v '^#' "$work/frames.md5" | sed -n "$(( n + 1 ))p" | awk -F', *' '{print $6}')
  if [ "$expected" = "$got" ]; then
    echo "frame $n: content as written"
  else
    echo "FAIL: frame $n differs ($got, expected $expected)" >&2
    status=1
  fi
done
[ "$status" = 0 ] && echo "== soak passed" || echo "== soak FAILED"
exit $status
