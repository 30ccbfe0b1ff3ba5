#!/usr/bin/env bash
# Records a demo movie: installs what is needed (Debian 12, as root), builds
# the project (Release, in build/), records build/demo.avi with avirec and
# shows what ffprobe makes of it.
#   scripts/demo.sh                     the test picture, 640x480, 150 frames
#   scripts/demo.sh --codec mjpeg,quality=9000 --fps 30
# Extra arguments go to avirec before the output file. AVI_BUILD_DIR names
# another build folder than build/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${AVI_BUILD_DIR:-build}

scripts/install-deps.sh --linux-only
cmake --preset release -B "$build"
cmake --build "$build" -j"$(nproc)" --target avirec

movie="$(cd "$build" && pwd)/demo.avi"
# Full Frames unless the caller picks another compressor.
"$build/bin/avirec" -y --codec full --name "avirec demo" "$@" "$movie"

echo
echo "Recorded $movie"
echo
ffprobe -hide_banner "$movie"
