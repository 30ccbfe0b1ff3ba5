#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests, the package and
# the demo need (as root). The only step that installs anything: the build,
# test and package steps expect these. Safe to run again: it installs only
# what is missing.
#   scripts/install-deps.sh               everything
#   scripts/install-deps.sh --linux-only  without the Windows build's cross
#                                         compiler, Wine, Xvfb and xdotool
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
windows=1
for arg in "$@"; do
  case "$arg" in
    --linux-only) windows=0 ;;
    *) echo "usage: scripts/install-deps.sh [--linux-only]" >&2; exit 2 ;;
  esac
done

packages=(build-essential cmake ninja-build pkg-config git
          libavcodec-dev libavutil-dev libswscale-dev libavformat-dev ffmpeg zlib1g-dev libxxhash-dev
          libgtest-dev libgmock-dev googletest libbenchmark-dev
          clang libclang-rt-14-dev llvm
          gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
          gstreamer1.0-plugins-bad gstreamer1.0-libav
          python3-numpy python3-matplotlib python3-pytest python3-imageio python3-opencv
          python3-distributed
          python3-setuptools python3-wheel python3-venv
          mediainfo mencoder
          help2man man-db)
need_update=0
if [ "$windows" = 1 ]; then
  # The Windows build and its checks: 32-bit MinGW-w64, 32-bit Wine (from
  # the i386 architecture), a virtual X server and xdotool for the dialog.
  packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 xvfb xdotool)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need_update=1
  fi
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  # The package lists need refreshing after adding i386, or when they do not
  # know a missing package yet.
  if [ "$need_update" = 1 ] || ! apt-cache show "${missing[@]}" > /dev/null 2>&1; then
    apt-get update
  fi
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
