#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need (Debian 12, as
# root): the 32-bit MinGW-w64 cross compiler, 32-bit Wine, a virtual X server,
# xdotool to answer the compression dialog, and ffmpeg and Python for the
# checks. Safe to run again: it installs only what is missing.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

# 32-bit Wine comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
else
  need_update=0
fi

packages=(cmake make
          g++-mingw-w64-i686 binutils-mingw-w64-i686
          wine wine32:i386
          xvfb xdotool
          ffmpeg python3)
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
