#!/usr/bin/env bash
# Provisions the Windows checks (tests/windows/, run by CTest with the label
# "windows"): CTest runs "start" once before them and "stop" once after.
#
#   scripts/windows-env.sh start [LINUX_BUILD]
#       checks that the tools are installed (scripts/install-deps.sh), builds
#       the windows-i686 preset and, in LINUX_BUILD (default build/), the
#       Linux programs the checks compare with; starts Xvfb on a free display
#       and makes a fresh 32-bit Wine prefix. Writes build-windows/wine/env
#       (the variables the checks run Wine with).
#   scripts/windows-env.sh stop
#       waits for Wine's processes to end and stops Xvfb.
#
# Wine's prefix, its logs and what the checks wrote stay in
# build-windows/wine/ for a look afterwards. AVI_WINEDEBUG sets Wine's
# WINEDEBUG (default -all).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
state=$root/build-windows/wine

# A process of this session, named by the pid file, if it still runs.
ours() {
  [ -s "$state/$1.pid" ] && grep -qa -- "$2" "/proc/$(cat "$state/$1.pid")/cmdline" 2> /dev/null
}

# The variables of the session's env file, one KEY=VALUE a line.
load_env() { while IFS='=' read -r key value; do export "$key=$value"; done < "$state/env"; }

stop() {
  local status=0
  # Closing the FIFO's writing end ends the Windows process that kept Wine's
  # services up; then every Wine process must end on its own.
  if ours holder sleep; then kill "$(cat "$state/holder.pid")"; fi
  if [ -f "$state/env" ]; then
    load_env
    if ! timeout 60 wineserver -w; then
      echo "Wine's processes did not end within 60 s; killing them" >&2
      wineserver -k || true
      status=1
    fi
  fi
  if ours xvfb Xvfb; then kill "$(cat "$state/xvfb.pid")"; fi
  rm -f "$state/env" "$state/holder.pid" "$state/xvfb.pid"
  return $status
}

case "${1:-}" in
  stop) stop; exit ;;
  start) linux_build=$(realpath "${2:-$root/build}") ;;
  *) echo "usage: scripts/windows-env.sh start [LINUX_BUILD] | stop" >&2; exit 2 ;;
esac

for tool in i686-w64-mingw32-g++-posix i686-w64-mingw32-objdump wine wineserver Xvfb xdotool \
            ffmpeg ffprobe; do
  if ! command -v "$tool" > /dev/null; then
    echo "$tool is missing: run scripts/install-deps.sh as root" >&2
    exit 1
  fi
done
stop || true

echo "== building the windows-i686 preset"
# A folder configured before the presets, with another generator, starts over.
if [ -f build-windows/CMakeCache.txt ] &&
   ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' build-windows/CMakeCache.txt; then
  rm -rf build-windows/CMakeCache.txt build-windows/CMakeFiles
fi
cmake --preset windows-i686 > /dev/null
cmake --build --preset windows-i686 -j"$(nproc)"
echo "== building avirec and avi_dump in $linux_build"
cmake --build "$linux_build" -j"$(nproc)" --target avirec avi avi_dump

rm -rf "$state"
mkdir -p "$state/prefix" "$state/run"
# No process started here may keep CTest's output pipes open.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$state/display" \
  < /dev/null > "$state/xvfb.log" 2>&1 &
echo $! > "$state/xvfb.pid"
for _ in $(seq 100); do [ -s "$state/display" ] && break; sleep 0.1; done
[ -s "$state/display" ] || { tail -3 "$state/xvfb.log" >&2; echo "Xvfb did not start" >&2; exit 1; }
cat > "$state/env" << EOF
DISPLAY=:$(head -1 "$state/display")
WINEPREFIX=$state/prefix
WINEARCH=win32
WINEDEBUG=${AVI_WINEDEBUG:--all}
WINEDLLOVERRIDES=mscoree,mshtml=
EOF
load_env

echo "== a fresh 32-bit Wine prefix in $WINEPREFIX on display $DISPLAY"
if ! wineboot --init < /dev/null > "$state/wineboot.log" 2>&1 ||
   ! wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
       < /dev/null > "$state/reg.log" 2>&1; then
  tail -5 "$state/wineboot.log" "$state/reg.log" >&2
  stop || true
  exit 1
fi
# A Windows process that waits for the whole session keeps Wine's desktop and
# services up; without it they shut down between two programs, and a program
# started meanwhile waits about ten seconds for them. It ends when the FIFO's
# writer (a sleep that "stop" ends) goes.
mkfifo "$state/keeper.fifo"
wine cmd /c pause < "$state/keeper.fifo" > "$state/keeper.log" 2>&1 &
sleep infinity > "$state/keeper.fifo" 2> /dev/null &
echo $! > "$state/holder.pid"
echo "== ready: Xvfb on $DISPLAY, Wine prefix $WINEPREFIX"
