#!/usr/bin/env bash
# Records a short movie with every compressor on offer and asks the readers
# installed on this machine what they make of each: FFmpeg, GStreamer and VLC
# must decode every frame, MediaInfo must name the codec, and Wine's AVIFile
# must read every sample (and, where Wine has a decompressor for the codec,
# decode every frame). Prints the README's table "Which codec plays where"
# in Markdown on standard output; progress goes to standard error.
#
#   scripts/measure-readers.sh [--install] [--build DIR] [--windows-build DIR]
#                              [--size WxH] [--frames N] [--keep]
#
# --install           install the readers first (as root): GStreamer, VLC,
#                     MediaInfo, and the Windows toolchain and Wine
# --build DIR         the Linux build whose avirec records (default build;
#                     built if missing)
# --windows-build DIR the Windows build whose avi_read.exe reads through
#                     Wine's AVIFile (default build-windows; built if missing)
# --size, --frames    the recordings (default 320x240, 30 frames)
# --keep              keep the recordings and the readers' output
#
# A reader that is not installed gets "not installed" in its column. VLC
# refuses to run as root; as root it runs as the user "nobody".
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
windows_build=$root/build-windows
size=320x240
frames=30
install=0
keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --install) install=1 ;;
    --build) build=$(realpath -m "$2"); shift ;;
    --windows-build) windows_build=$(realpath -m "$2"); shift ;;
    --size) size=$2; shift ;;
    --frames) frames=$2; shift ;;
    --keep) keep=1 ;;
    *) echo "usage: $0 [--install] [--build DIR] [--windows-build DIR] [--size WxH] [--frames N] [--keep]" >&2
       exit 2 ;;
  esac
  shift
done
width=${size%x*}
height=${size#*x}
say() { echo "$*" >&2; }
have() { command -v "$1" > /dev/null 2>&1; }

if [ "$install" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends gstreamer1.0-tools gstreamer1.0-plugins-base \
    gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav \
    vlc-bin vlc-plugin-base mediainfo >&2 || exit 1
  "$root/scripts/install-deps.sh" >&2 || exit 1
fi

if [ ! -x "$build/bin/avirec" ]; then
  say "building avirec in $build"
  { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release &&
    cmake --build "$build" -j2 --target avirec avi; } >&2 || exit 1
fi

work=$(mktemp -d /tmp/measure-readers.XXXXXX)
chmod 755 "$work"
cleanup() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k > /dev/null 2>&1
  if [ "$keep" = 1 ]; then say "recordings and outputs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# ---- the recordings ------------------------------------------------------------

names=()
codes=()
while IFS=$'\t' read -r name code; do
  names+=("$name")
  codes+=("$code")
done < <("$build/bin/avirec" --list-codecs | sed -n "s/^\([a-z0-9]*\) *'\(....\)'.*/\1\t\2/p")
[ ${#names[@]} -gt 0 ] || { say "avirec offers no compressors"; exit 1; }

for name in "${names[@]}"; do
  say "recording $name"
  "$build/bin/avirec" -y --codec "$name" --size "$size" --frames "$frames" "$work/$name.avi" \
    > "$work/$name.record" 2>&1 || say "  avirec failed: $(tail -1 "$work/$name.record")"
done

# ---- the readers -----------------------------------------------------------------
# Each prints one table cell for the file given.

ffmpeg_cell() {
  have ffmpeg || { echo "not installed"; return; }
  local got
  got=$(ffmpeg -nostdin -v error -i "$1" -map 0:v:0 -f framemd5 - 2> "$1.ffmpeg.err" | grep -vc '^#')
  if [ "$got" = "$frames" ] && [ ! -s "$1.ffmpeg.err" ]; then echo "yes"; else echo "no ($got of $frames frames)"; fi
}

gstreamer_cell() {
  have gst-launch-1.0 || { echo "not installed"; return; }
  rm -f "$1.rgb"
  if ! gst-launch-1.0 filesrc location="$1" ! decodebin ! videoconvert ! video/x-raw,format=RGB \
       ! filesink location="$1.rgb" > "$1.gst.log" 2>&1; then
    if grep -q "Missing decoder" "$1.gst.log"; then echo "no (no decoder)"; else echo "no (fails)"; fi
    return
  fi
  local frame_bytes=$(( (width * 3 + 3) / 4 * 4 * height ))
  local got=$(( $(stat -c %s "$1.rgb") / frame_bytes ))
  if [ "$got" = "$frames" ]; then echo "yes"; else echo "no ($got of $frames frames)"; fi
}

# VLC decodes the file into raw frames (its transcoder, into an AVI) and the
# frames it wrote are counted. Its transcoder leaves out the last frame or
# two of any file, an uncompressed one too (it does not drain its decoders at
# the end): up to two missing frames still count as every frame decoded.
vlc_cell() {
  have cvlc || { echo "not installed"; return; }
  local out=$1.vlc
  rm -rf "$out"
  mkdir -p "$out"
  chmod 777 "$out"
  local as=()
  [ "$(id -u)" = 0 ] && as=(runuser -u nobody -- env HOME="$out")
  timeout 120 "${as[@]}" cvlc --intf dummy --no-audio --play-and-exit "$1" \
    --sout "#transcode{vcodec=I420,acodec=none}:std{access=file,mux=avi,dst=$out/frames.avi}" \
    > "$1.vlc.log" 2>&1
  local got
  got=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
          -of csv=p=0 "$out/frames.avi" 2> /dev/null | tr -dc 0-9)
  got=${got:-0}
  if [ "$got" -ge $((frames - 2)) ] && [ "$got" -le "$frames" ]; then
    echo "yes"
  elif grep -qi "not supported\|no decoder module\|could not identify" "$1.vlc.log"; then
    echo "no (no decoder)"
  else
    echo "no ($got of $frames frames)"
  fi
}

# MediaInfo only names the codec: its format, or the codec's own name where
# the format is only "RGB" (Ut Video), as its codec table gives them.
mediainfo_cell() {
  have mediainfo || { echo "not installed"; return; }
  local format info
  format=$(mediainfo --Inform='Video;%Format%' "$1" 2> /dev/null | tr -d '\r')
  info=$(mediainfo --Inform='Video;%CodecID/Info%' "$1" 2> /dev/null | tr -d '\r')
  if [ -z "$format" ]; then
    echo "no"
  elif [ "$format" = RGB ] && [ -n "$info" ] && [ "${info#Basic Windows bitmap}" = "$info" ]; then
    echo "yes ($info)"
  else
    echo "yes ($format)"
  fi
}

# Wine's AVIFile through avi_read.exe, in a Wine prefix of its own.
wine_ready=0
wine_why="not installed"
prepare_wine() {
  have wine && have i686-w64-mingw32-g++ || return
  if [ ! -f "$windows_build/bin/avi_read.exe" ] ||
     [ "$root/windows/avi_read.cpp" -nt "$windows_build/bin/avi_read.exe" ]; then
    say "building avi_read.exe in $windows_build"
    if ! { cmake -S "$root" -B "$windows_build" \
             -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
             -DBUILD_TESTING=OFF -DAVI_BUILD_BENCHMARKS=OFF &&
           cmake --build "$windows_build" -j2 --target avi_read; } >&2; then
      wine_why="avi_read.exe did not build"
      return
    fi
  fi
  export WINEPREFIX=$work/wine WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  say "making a Wine prefix"
  if ! DISPLAY= wineboot --init > "$work/wineboot.log" 2>&1; then
    wine_why="no Wine prefix"
    return
  fi
  wine_ready=1
}

wine_cell() {
  [ "$wine_ready" = 1 ] || { echo "$wine_why"; return; }
  (cd "$work" && DISPLAY= timeout 120 wine "$windows_build/bin/avi_read.exe" --decode "$1") \
    2> "$1.wine.err" | tr -d '\r' > "$1.wine"
  local read decoded
  read=$(sed -n 's/^frames read: //p' "$1.wine")
  decoded=$(sed -n 's/^frames decoded: \([0-9]*\) of .*/\1/p' "$1.wine")
  if [ "${read:-0}" != "$frames" ]; then
    echo "refuses"
  elif grep -q '^decoder: none' "$1.wine"; then
    echo "reads; no decoder"
  elif [ "$decoded" = "$frames" ]; then
    echo "yes"
  else
    echo "reads; decodes ${decoded:-0} of $frames frames"
  fi
}

prepare_wine
say "asking the readers"
echo "| compressor | code | KiB a frame | FFmpeg | GStreamer | VLC | MediaInfo | Wine AVIFile |"
echo "|---|---|---|---|---|---|---|---|"
for i in "${!names[@]}"; do
  name=${names[$i]}
  file=$work/$name.avi
  if [ ! -s "$file" ]; then
    echo "| \`$name\` | \`${codes[$i]}\` | not recorded | | | | | |"
    continue
  fi
  say "  $name"
  kib=$(awk -v bytes="$(stat -c %s "$file")" -v n="$frames" 'BEGIN { printf "%.1f", bytes / n / 1024 }')
  echo "| \`$name\` | \`${codes[$i]}\` | $kib | $(ffmpeg_cell "$file") | $(gstreamer_cell "$file") |" \
       "$(vlc_cell "$file") | $(mediainfo_cell "$file") | $(wine_cell "$file") |"
done
