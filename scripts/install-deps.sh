#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian 12, as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(build-essential cmake pkg-config git
          libavcodec-dev libavutil-dev libswscale-dev libavformat-dev ffmpeg
          libgtest-dev libgmock-dev googletest libbenchmark-dev
          clang libclang-rt-14-dev llvm
          gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
          gstreamer1.0-plugins-bad gstreamer1.0-libav
          python3-numpy python3-matplotlib python3-pytest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
