#!/usr/bin/env bash
# The Windows target, tested under Wine: builds the plug-in and the Windows
# programs for 32-bit Windows (the windows-i686 preset), and runs them against
# Wine's AVIFile library on a virtual X display, answering the
# video-compression dialog with xdotool. The packages come from
# scripts/install-deps.sh.
#
#   scripts/test-windows.sh
#
# Prints one "PASS"/"FAIL" line per check and closes with "N passed, N failed";
# exits non-zero when a check failed. Wine's prefix, logs and the movies it
# wrote stay in build-windows/wine/ for a look afterwards.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-windows
linux_build=${AVI_LINUX_BUILD:-$root/build}
facts="python3 $root/tests/windows/avi_facts.py"
jobs=$(nproc)

source "$root/scripts/checks.sh"
section() { echo "== Windows: $1 (${SECONDS} s)"; }

# ---- Install and build --------------------------------------------------------

section "checking for the cross compiler, Wine, Xvfb and xdotool"
for tool in i686-w64-mingw32-g++-posix wine Xvfb xdotool ffmpeg ffprobe python3; do
  if ! command -v "$tool" > /dev/null; then
    fail "$tool is installed" "run scripts/install-deps.sh as root first"
    finish
  fi
done

section "building for i686-w64-mingw32"
build_log=$(mktemp)
# A folder configured before the presets, with another generator, starts over.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
if cmake --preset windows-i686 > "$build_log" 2>&1 &&
   cmake --build --preset windows-i686 -j"$jobs" >> "$build_log" 2>&1; then
  pass "the Windows target builds with warnings as errors"
  rm -f "$build_log"
else
  tail -40 "$build_log"
  fail "the Windows target builds with warnings as errors"
  finish
fi
bin=$build/bin

# The Linux recorder writes the files that Wine reads back, and the files that
# Wine's are compared with.
if [ ! -x "$linux_build/bin/avirec" ]; then
  section "building the Linux recorder for the comparisons"
  # A build folder made before keeps its settings; a new one is the release preset's.
  if [ ! -e "$linux_build/CMakeCache.txt" ]; then
    cmake --preset release -B "$linux_build" > "$build/linux-build.log" 2>&1
  fi
  cmake --build "$linux_build" -j"$jobs" --target avirec avi >> "$build/linux-build.log" 2>&1 ||
    tail -20 "$build/linux-build.log"
fi
avirec=$linux_build/bin/avirec

# ---- The DLLs' imports and exports ---------------------------------------------

objdump=i686-w64-mingw32-objdump
exports_of() { $objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
               sed -n 's/^\s*\[ *[0-9]*\] //p'; }
imports_of() { $objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u; }
system_dlls="kernel32.dll msvcrt.dll user32.dll avifil32.dll"

check "avi.dll exports exactly the five entry points, undecorated" \
  test "$(exports_of "$bin/avi.dll" | sort | tr '\n' ' ')" = \
       "aviMovieAddFrame aviMovieClose aviMovieCreate aviMovieGetInterfaceFileTypeDef aviMovieGetTypeName "
avi_imports=$(imports_of "$bin/avi.dll" | tr '\n' ' ')
check "avi.dll links avifil32, user32, jraster and jvislib ($avi_imports)" \
  test "$avi_imports" = "avifil32.dll jraster.dll jvislib.dll kernel32.dll msvcrt.dll user32.dll "
only_system_dlls() {
  local dll
  for dll in $(imports_of "$1"); do
    case " $system_dlls $2 " in *" $dll "*) ;; *) echo "  $1 needs $dll"; return 1 ;; esac
  done
}
for dll in jraster.dll jvislib.dll; do
  check "$dll needs only the system's DLLs (C++ runtime linked in)" only_system_dlls "$bin/$dll" ""
done
check "avirec_win.exe needs only the system's DLLs and the host toolkit" \
  only_system_dlls "$bin/avirec_win.exe" "jraster.dll jvislib.dll"

# ---- Wine and the display -----------------------------------------------------

wine_dir=$build/wine
rm -rf "$wine_dir"
mkdir -p "$wine_dir/prefix" "$wine_dir/run"
run=$wine_dir/run
export WINEPREFIX=$wine_dir/prefix WINEARCH=win32 WINEDEBUG=${AVI_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="

display=
for n in $(seq 70 199); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp > "$wine_dir/xvfb.log" 2>&1 &
xvfb_pid=$!
keeper_pid=
cleanup() {
  exec 9>&-
  wineserver -k > /dev/null 2>&1
  kill "$xvfb_pid" 2> /dev/null
  wait "$xvfb_pid" 2> /dev/null
}
trap cleanup EXIT
export DISPLAY=":$display"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
if [ ! -e "/tmp/.X11-unix/X$display" ]; then
  fail "Xvfb starts on display :$display" "$(tail -1 "$wine_dir/xvfb.log")"
  finish
fi

section "a fresh Wine prefix on display :$display"
if wineboot --init > "$wine_dir/wineboot.log" 2>&1 &&
   wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f > "$wine_dir/reg.log" 2>&1; then
  pass "a fresh 32-bit Wine prefix"
  # A Windows process that waits for the whole run keeps Wine's desktop and
  # services up; without it they shut down between two programs, and a program
  # started meanwhile waits about ten seconds for them. It ends when the
  # script closes the FIFO's writing end.
  mkfifo "$wine_dir/keeper.fifo"
  wine cmd /c pause < "$wine_dir/keeper.fifo" > "$wine_dir/keeper.log" 2>&1 &
  keeper_pid=$!
  exec 9> "$wine_dir/keeper.fifo"
else
  fail "a fresh 32-bit Wine prefix"
  finish
fi

# Answers the compression dialog with the given keys.
answer_dialog() {
  local window
  window=$(timeout 60 xdotool search --sync --onlyvisible --name "Video Compression" | head -1)
  [ -n "$window" ] || { echo "  no compression dialog appeared"; return 1; }
  xdotool windowfocus --sync "$window" && xdotool key --delay 50 "$@"
}

# run_windows NAME KEYS PROGRAM ARGS...: runs PROGRAM.exe in the run folder,
# answering the dialog with KEYS unless they are "-", with the file $feed (if
# set) piped into its standard input. Output lands in NAME.out
# (carriage returns removed) and NAME.err; the exit status in $status.
status=0
run_windows() {
  local name=$1 keys=$2 program=$3; shift 3
  if [ -n "${feed:-}" ]; then
    # Frames through a pipe into the program's standard input.
    (cd "$run" && cat "$feed" | timeout 120 wine "$bin/$program.exe" "$@" > "$name.raw" 2> "$name.err") &
  else
    (cd "$run" && exec timeout 120 wine "$bin/$program.exe" "$@" > "$name.raw" 2> "$name.err") &
  fi
  local pid=$! started=$SECONDS
  if [ "$keys" != "-" ]; then
    # shellcheck disable=SC2086
    answer_dialog $keys || echo "  answering the dialog failed for $name"
  fi
  wait "$pid"
  status=$?
  [ $((SECONDS - started)) -lt 5 ] || echo "  ($name took $((SECONDS - started)) s)"
  tr -d '\r' < "$run/$name.raw" > "$run/$name.out"
}

# Lines of a program's output.
field() { sed -n "s/^$2: //p" "$run/$1.out" | head -1; }
count_lines() { grep -c -x -- "$2" "$run/$1.out"; }
heap_is_empty() { grep -q -x "heap: blocks=0 bytes=0" "$run/$1.out"; }
equal() { if [ "$1" = "$2" ]; then return 0; fi; echo "  got '$1', want '$2'"; return 1; }

# ---- The dialog, apart from the plug-in -----------------------------------------

run_windows probe_full Return dialog_probe probe_full.avi
check "dialog probe: Return confirms the default, Full Frames" \
  equal "$status/$(field probe_full dialog)/$(field probe_full setformat)" "0/1/0x00000000"
run_windows probe_video1 "Down Down Return" dialog_probe probe_video1.avi
check "dialog probe: Down Down Return picks Video 1, which refuses 24-bit frames" \
  equal "$(field probe_video1 handler)/$(field probe_video1 setformat)" "msvc/0x80044067"
run_windows probe_cancel Escape dialog_probe probe_cancel.avi
check "dialog probe: Escape cancels" equal "$status/$(field probe_cancel dialog)" "1/0"

# ---- Recording through the plug-in -------------------------------------------------

# Decodes a movie with ffmpeg and compares the frames with the raw ones put in.
decodes_to_raw() {
  ffmpeg -v error -i "$run/$1" -f rawvideo -pix_fmt rgb24 - > "$run/$1.decoded" &&
    cmp -s "$run/$1.decoded" "$run/$2" && [ -s "$run/$2" ]
}
probe_stream() {
  ffprobe -v error -select_streams v:0 -show_entries stream=width,height,r_frame_rate,nb_frames \
          -show_entries stream_tags=title -of default=noprint_wrappers=1 "$run/$1" |
    tr '\n' ' '
}
# The per-frame checksums that Wine's reader printed, and those worked out from
# ffmpeg's decode of the same file.
reader_checksums() { grep -E '^frame [0-9]+: ' "$run/$1.out" | sed 's/: bytes=.*fnv1a=/: fnv1a=/'; }
same_checksums() {
  local file=$1 reader=$2 width=$3 height=$4
  $facts checksums "$file" "$width" "$height" > "$file.fnv1a" || return 1
  if diff <(reader_checksums "$reader") "$file.fnv1a" > "$file.fnv1a.diff"; then
    [ -s "$file.fnv1a" ]
  else
    head -5 "$file.fnv1a.diff"; return 1
  fi
}

name70=$(printf 'N%.0s' $(seq 70))
name63=${name70:0:63}
# record NAME SIZE FRAMES FPS STREAM-NAME: a Full Frames recording.
record_full() {
  local name=$1 size=$2 frames=$3 fps=$4 stream=$5
  run_windows "$name" Return avirec_win --size "$size" --frames "$frames" --fps "$fps" \
              --name "$stream" --raw-out "$name.rgb" "$name.avi"
  local width=${size%x*} height=${size#*x}
  check "$name: every frame written, exit status 0" \
    equal "$status/$(field "$name" 'frames written')" "0/$frames of $frames"
  check "$name: host heap empty after close" heap_is_empty "$name"
  check "$name: ffmpeg decodes exactly the frames put in" decodes_to_raw "$name.avi" "$name.rgb"
  check "$name: ffprobe sees the size, the preferences' rate and name" \
    equal "$(probe_stream "$name.avi")" \
    "width=$width height=$height r_frame_rate=$6/1 nb_frames=$frames TAG:title=$7 "
  run_windows "$name.read" - avi_read "$name.avi"
  check "$name: Wine's AVIFile reads it back: rate, length, frame, name" \
    equal "$status $(field "$name.read" stream.rate)/$(field "$name.read" stream.scale) $(field "$name.read" stream.length) $(field "$name.read" stream.rcFrame) $(field "$name.read" stream.name)" \
          "0 $6/1 $frames 0,0,$width,$height $7"
  check "$name: Wine's samples are the decoded frames as DIBs" \
    same_checksums "$run/$name.avi" "$name.read" "$width" "$height"
}

section "the host program's command line"
run_windows bad_size - avirec_win --size 0x48 bad_size.avi
check "avirec_win: a bad size is refused before anything opens (exit status 2)" \
  equal "$status/$(grep -c . "$run/bad_size.out")/$(grep -c -- '--size needs' "$run/bad_size.err")/$([ -e "$run/bad_size.avi" ] && echo file)" "2/0/1/"
run_windows unknown - avirec_win --frobnicate unknown.avi
check "avirec_win: an unknown option is refused with a pointer to --help (exit status 2)" \
  equal "$status/$(grep -c -e "unknown option '--frobnicate'" -e "Try 'avirec_win --help'" "$run/unknown.err")" "2/2"
run_windows codec - avirec_win --codec mjpeg codec.avi
check "avirec_win: avirec's options that do not apply are refused as such (exit status 2)" \
  equal "$status/$(grep -c -- '--codec does not apply' "$run/codec.err")" "2/1"
run_windows help - avirec_win -h
run_windows version - avirec_win --version
check "avirec_win: -h and --version answer on standard output (exit status 0)" \
  equal "$(head -1 "$run/help.out")/$(sed 's/ [0-9.]*$/ N/' "$run/version.out")" "Usage: avirec_win [options] OUTPUT.avi/avirec_win N"
run_windows no_plugin - avirec_win --plugin missing.dll no_plugin.avi
check "avirec_win: a missing plug-in is reported (exit status 1)" \
  equal "$status/$(grep -c 'cannot load the plug-in missing.dll' "$run/no_plugin.err")" "1/1"

section "recording through the real dialog with Full Frames"
record_full full_odd 31x17 12 24 "Wine odd" 24 "Wine odd"
# 14.5 frames per second rounds to 15; a 70-character name keeps 63 characters.
record_full full_even 64x48 8 14.5 "$name70" 15 "$name63"
# Rows wide enough for the vector row converters, with a tail after them.
record_full full_wide 643x41 3 30 "wide rows" 30 "wide rows"

run_windows defaults Return avirec_win --size 16x16 --frames 2 defaults.avi
check "defaults: without preferences the movie has 15 frames per second and the name BRELK" \
  equal "$status $(probe_stream defaults.avi)" \
        "0 width=16 height=16 r_frame_rate=15/1 nb_frames=2 TAG:title=BRELK "

section "raw frames, through a pipe and from a file"
ffmpeg -v error -y -f lavfi -i testsrc2=size=32x24:rate=5 -frames:v 4 -pix_fmt rgb24 -f rawvideo "$run/piped.rgb"
feed=$run/piped.rgb run_windows piped Return avirec_win --raw rgb24 --size 32x24 piped.avi -
check "piped: four rgb24 frames from standard input, every one written (exit status 0)" \
  equal "$status/$(field piped 'frames written')" "0/4 of 4"
check "piped: ffmpeg decodes exactly the frames piped in" decodes_to_raw piped.avi piped.rgb
ffmpeg -v error -y -f lavfi -i testsrc2=size=32x24:rate=5 -frames:v 2 -pix_fmt gray -f rawvideo "$run/short.gray"
ffmpeg -v error -y -f rawvideo -pix_fmt gray -s 32x24 -i "$run/short.gray" -f rawvideo -pix_fmt rgb24 "$run/short.rgb"
head -c 100 "$run/short.gray" >> "$run/short.gray"
run_windows short Return avirec_win --raw gray --size 32x24 short.avi short.gray
check "short: a partial last frame is an error that names its bytes (exit status 1)" \
  equal "$status/$(grep -c 'short.gray ended in the middle of frame 2: 100 of its 768 bytes' "$run/short.err")" "1/1"
check "short: the frames before it are a complete movie" decodes_to_raw short.avi short.rgb

section "Ctrl-C in the middle of a piped recording"
# Wine turns SIGINT into the console's Ctrl-C event. Frames come slowly, so
# that the recording is in the middle of its input when Ctrl-C comes.
ffmpeg -v error -y -f lavfi -i testsrc2=size=32x24:rate=5 -frames:v 40 -pix_fmt rgb24 -f rawvideo "$run/slow.rgb"
(cd "$run" && for i in $(seq 0 39); do
   dd if=slow.rgb bs=2304 skip="$i" count=1 status=none || break; sleep 0.1
 done | timeout 120 wine "$bin/avirec_win.exe" --raw rgb24 --size 32x24 stopped.avi - > stopped.raw 2> stopped.err
 echo "${PIPESTATUS[1]}" > stopped.status) &
stopped_pid=$!
answer_dialog Return || echo "  answering the dialog failed for stopped"
for _ in $(seq 100); do grep -q '^frame 4: 1' "$run/stopped.raw" 2> /dev/null && break; sleep 0.1; done
# One Ctrl-C, to the Windows process alone: a second one would end it at once.
pkill -INT -f '^[^ ]*avirec_win.exe --raw rgb24 --size 32x24 stopped.avi'
wait "$stopped_pid"
tr -d '\r' < "$run/stopped.raw" > "$run/stopped.out"
stopped_frames=$(sed -n 's/.*stopped by Ctrl-C; wrote \([0-9]*\) frames.*/\1/p' "$run/stopped.err")
check "stopped: exit status 130, saying how many frames were written (${stopped_frames:-none})" \
  equal "$(cat "$run/stopped.status")/$([ "${stopped_frames:-0}" -ge 5 ] && [ "${stopped_frames:-0}" -lt 40 ] && echo some)" "130/some"
head -c $((${stopped_frames:-0} * 2304)) "$run/slow.rgb" > "$run/stopped.rgb"
check "stopped: the movie is complete and holds exactly the frames reported written" \
  decodes_to_raw stopped.avi stopped.rgb

section "an existing output"
cp "$run/piped.avi" "$run/piped.before"
run_windows exists - avirec_win --size 16x16 --frames 2 piped.avi
refusals="$status/$(grep -c 'exists; pass -y to overwrite it' "$run/exists.err")"
run_windows never - avirec_win -n --size 16x16 --frames 2 piped.avi
refusals+=" $status/$(grep -c -- '-n says never' "$run/never.err")"
check "exists: refused without -y, naming -y, and with -n (exit status 1 each)" \
  equal "$refusals" "1/1 1/1"
check "exists: the file is left as it was" cmp -s "$run/piped.avi" "$run/piped.before"
run_windows overwrite Return avirec_win -y --size 16x16 --frames 2 piped.avi
check "exists: -y overwrites it (exit status 0)" \
  equal "$status $(probe_stream piped.avi)" "0 width=16 height=16 r_frame_rate=15/1 nb_frames=2 TAG:title=BRELK "

section "cancelling the dialog"
run_windows cancel Escape avirec_win --size 64x48 --frames 3 cancel.avi
check "cancel: aviMovieCreate returns null (exit status 1)" \
  equal "$status/$(field cancel created)" "1/no"
check "cancel: host heap empty" heap_is_empty cancel
check "cancel: no message shown" equal "$(grep -c '^message:' "$run/cancel.out")" 0

section "Wine's Video 1 refuses 24-bit frames"
refusal="message: Unable to use specified compressor.  Use either Video 1, Cinepak Codec, or Full Frames."
frames=4
run_windows video1 "Down Down Return" avirec_win --size 64x48 --frames $frames video1.avi
# Wine's compressing stream refuses the 24-bit format once, then takes the
# same format when it is set again (and fails every write). The plug-in shows
# the message for each refused format: once per frame on a library that keeps
# refusing, once in all under Wine.
if [ "$(field probe_video1 'setformat again')" = 0x00000000 ]; then
  refused=1
  echo "  note: Wine's Video 1 stream accepts a refused format when it is set again;" \
       "the writes fail instead"
else
  refused=$frames
fi
expected_lines=$(for i in $(seq 0 $((frames - 1))); do
  [ "$i" -lt "$refused" ] && echo "$refusal"
  echo "frame $i: 0"
done)
check "video1: creation succeeds, no frame written (exit status 1)" \
  equal "$status/$(field video1 created | cut -c1-3)/$(field video1 'frames written')" "1/yes/0 of $frames"
check "video1: the message once per refused format ($refused), none for other frames" \
  equal "$(count_lines video1 "$refusal")" $refused
check "video1: every frame returns 0, each refused one right after its message" \
  equal "$(grep -E '^(message|frame [0-9])' "$run/video1.out")" "$expected_lines"
check "video1: frameCount counts only the frames that reached the write step" \
  equal "$(field video1 'frame count')" $((frames - refused))
check "video1: host heap empty after close" heap_is_empty video1
run_windows video1.read - avi_read video1.avi
check "video1: closing completed the file (Wine opens it: one stream, no samples)" \
  equal "$(field video1.read file.streams)/$(field video1.read stream.length)/$(field video1.read 'frames read')" "1/0/0"

# ---- The same calls on our layer and on Wine's ------------------------------------

# Header fields that must agree between a file written by Wine's AVIFile and one
# written by our layer for the same calls. Any other difference is listed.
must_agree="strh.fccType strh.dwScale strh.dwRate strh.dwStart strh.dwLength strh.rcFrame
  strh.dwSuggestedBufferSize strh.dwSampleSize strf.bytes strf.biSize strf.biWidth strf.biHeight
  strf.biPlanes strf.biBitCount strf.biCompression strf.biSizeImage strn avih.dwStreams
  avih.dwWidth avih.dwHeight avih.dwTotalFrames movi.frameChunks idx1.entries riff.sizesAgree"
compare_headers() {
  local wine_file=$1 ours_file=$2 key ok=0
  $facts headers "$wine_file" > "$wine_file.headers" || return 1
  $facts headers "$ours_file" > "$ours_file.headers" || return 1
  for key in $(cut -d: -f1 "$wine_file.headers" "$ours_file.headers" | sort -u); do
    local w o
    w=$(sed -n "s/^$key: //p" "$wine_file.headers")
    o=$(sed -n "s/^$key: //p" "$ours_file.headers")
    [ "$w" = "$o" ] && continue
    if printf '%s\n' $must_agree | grep -qx "$key"; then
      echo "  $key differs: Wine '$w', ours '$o'"; ok=1
    else
      echo "  note: $key: Wine '$w', ours '$o'"
    fi
  done
  return $ok
}

# same_on_linux NAME SIZE FRAMES FPS STREAM: records the frames of the Windows
# recording NAME again with our layer, as the same calls, and compares.
same_on_linux() {
  local name=$1 size=$2 frames=$3 fps=$4 stream=$5 ours=linux_$1
  if ! ffmpeg -v error -f rawvideo -pix_fmt rgb24 -s "$size" -i "$run/$name.rgb" \
              -f rawvideo -pix_fmt gbrp -y "$run/$ours.gbrp" ||
     ! "$avirec" -y --size "$size" --frames "$frames" --fps "$fps" --name "$stream" --codec full \
                 --raw-gbrp "$run/$ours.gbrp" "$run/$ours.avi" > "$run/$ours.log" 2>&1; then
    fail "$ours: the Linux recorder writes the same frames" "$(tail -1 "$run/$ours.log")"
    return
  fi
  check "$ours: the headers of Wine's and our layer's files agree" \
    compare_headers "$run/$name.avi" "$run/$ours.avi"
  run_windows "$ours.read" - avi_read "$ours.avi"
  check "$ours: Wine reads the same $frames samples' bytes from both files" \
    equal "$(grep -c '^frame .*fnv1a' "$run/$ours.read.out")/$(grep '^frame ' "$run/$ours.read.out")" \
          "$frames/$(grep '^frame ' "$run/$name.read.out")"
}

if [ -x "$avirec" ]; then
  section "the same recordings on Linux"
  same_on_linux full_odd 31x17 12 24 "Wine odd"
  same_on_linux full_even 64x48 8 14.5 "$name70"

  section "Wine's AVIFile reads files written by our layer"
  # read_linux NAME SIZE FRAMES: a Full Frames file from our layer, read by Wine.
  read_linux() {
    local name=$1 size=$2 frames=$3
    local width=${size%x*} height=${size#*x}
    if ! "$avirec" -y --size "$size" --frames "$frames" \
           --fps 25 --name "ours $name" --codec full "$run/$name.avi" > "$run/$name.log" 2>&1; then
      fail "$name: the Linux recorder writes it" "$(tail -1 "$run/$name.log")"
      return
    fi
    run_windows "$name.read" - avi_read "$name.avi"
    check "$name: Wine reads the header: rate, length, frame, name, format" \
      equal "$status $(field "$name.read" stream.rate)/$(field "$name.read" stream.scale) $(field "$name.read" stream.length) $(field "$name.read" stream.rcFrame) $(field "$name.read" stream.name) $(field "$name.read" format.biWidth)x$(field "$name.read" format.biHeight)x$(field "$name.read" format.biBitCount)" \
            "0 25/1 $frames 0,0,$width,$height ours $name ${width}x${height}x24"
    check "$name: Wine reads all $frames samples with the checksums of the frames written" \
      same_checksums "$run/$name.avi" "$name.read" "$width" "$height"
  }
  read_linux ours_odd 33x7 10
  read_linux ours_even 64x48 6
  read_linux ours_vga 320x240 5

  # About 20 frames of 64x48 to a segment: four RIFF segments. Wine's AVIFile
  # reads the first segment's index (idx1) only and skips the OpenDML indexes,
  # so it reads the frames of the first segment and no more.
  name=ours_segments frames=70
  if env AVIFILE_RIFF_LIMIT=200000 "$avirec" -y --size 64x48 --frames $frames --fps 25 \
       --name "ours $name" --codec full "$run/$name.avi" > "$run/$name.log" 2>&1; then
    $facts headers "$run/$name.avi" > "$run/$name.avi.headers"
    segments=$(sed -n 's/^riff.segments: //p' "$run/$name.avi.headers")
    first=$(sed -n 's/^idx1.entries: //p' "$run/$name.avi.headers")
    check "$name: the file has several segments ($segments)" \
      equal "$(echo "$segments" | cut -d' ' -f1-2)" "AVI AVIX"
    $facts checksums "$run/$name.avi" 64 48 > "$run/$name.avi.fnv1a"
    check "$name: ffmpeg decodes all $frames frames" \
      equal "$(wc -l < "$run/$name.avi.fnv1a")" $frames
    run_windows "$name.read" - avi_read "$name.avi"
    check "$name: Wine reads the header: rate, length, frame, name" \
      equal "$(field "$name.read" stream.rate)/$(field "$name.read" stream.scale) $(field "$name.read" stream.length) $(field "$name.read" stream.rcFrame) $(field "$name.read" stream.name)" \
            "25/1 $frames 0,0,64,48 ours $name"
    check "$name: the first segment holds some but not all frames ($first)" \
      test "${first:-0}" -gt 0 -a "${first:-0}" -lt $frames
    check "$name: Wine reads the frames of the first segment with the checksums written" \
      equal "$(reader_checksums "$name.read")" "$(head -n "${first:-0}" "$run/$name.avi.fnv1a")"
    echo "  note: Wine's AVIFile sees $(field "$name.read" 'frames read') of $frames frames;" \
         "$(field "$name.read" 'frames not indexed') lie in the OpenDML segments it does not index"
  else
    fail "$name: the Linux recorder writes it" "$(tail -1 "$run/$name.log")"
  fi

  section "Wine's AVIFile reads recordings killed and then repaired on Linux"
  # killed_repaired NAME SIZE FRAMES RIFF_LIMIT: a Full Frames recording of
  # FRAMES frames from a pipe that then stays open, killed with SIGKILL while
  # it waits for more, then finished with avirec --repair.
  killed_repaired() {
    local name=$1 size=$2 frames=$3 limit=$4 pid
    local width=${size%x*} height=${size#*x}
    rm -f "$run/$name.avi"
    { head -c $((width * height * 3 * frames)) /dev/urandom; sleep 3; } |
      env AVIFILE_RIFF_LIMIT="$limit" "$avirec" -y --raw rgb24 --size "$size" --fps 25 \
        --codec full "$run/$name.avi" > "$run/$name.log" 2>&1 &
    pid=$!
    sleep 1.5
    kill -9 "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
    "$avirec" --repair "$run/$name.avi" >> "$run/$name.log" 2>&1
  }
  name=killed_one
  if killed_repaired $name 64x48 30 1073741824; then
    $facts checksums "$run/$name.avi" 64 48 > "$run/$name.avi.fnv1a"
    frames=$(wc -l < "$run/$name.avi.fnv1a")
    run_windows "$name.read" - avi_read "$name.avi"
    check "$name: ffmpeg decodes all 30 frames; Wine opens the file with that length" \
      equal "$frames $status $(field "$name.read" stream.length)" "30 0 30"
    check "$name: Wine reads all $frames samples with the checksums of the frames written" \
      same_checksums "$run/$name.avi" "$name.read" 64 48
  else
    fail "$name: avirec --repair finishes the killed recording" "$(tail -1 "$run/$name.log")"
  fi
  # About 20 frames of 64x48 to a segment: the kill falls in the fourth.
  name=killed_segments
  if killed_repaired $name 64x48 70 200000; then
    $facts headers "$run/$name.avi" > "$run/$name.avi.headers"
    segments=$(sed -n 's/^riff.segments: //p' "$run/$name.avi.headers" | wc -w)
    first=$(sed -n 's/^idx1.entries: //p' "$run/$name.avi.headers")
    $facts checksums "$run/$name.avi" 64 48 > "$run/$name.avi.fnv1a"
    frames=$(wc -l < "$run/$name.avi.fnv1a")
    check "$name: the repaired file has three segments or more ($segments) and every size fits" \
      equal "$(test "$segments" -ge 3 && echo yes) $(sed -n 's/^riff.sizesAgree: //p' "$run/$name.avi.headers")" "yes 1"
    run_windows "$name.read" - avi_read "$name.avi"
    # (avi_read ends with a failure at the first frame past the first
    # segment's index, which Wine does not read.)
    check "$name: ffmpeg decodes all 70 frames; Wine reads that length in the header" \
      equal "$frames $(field "$name.read" stream.length)" "70 70"
    check "$name: Wine reads the frames of the first segment with the checksums written" \
      equal "$(reader_checksums "$name.read")" "$(head -n "${first:-0}" "$run/$name.avi.fnv1a")"
  else
    fail "$name: avirec --repair finishes the killed recording" "$(tail -1 "$run/$name.log")"
  fi
else
  fail "the Linux recorder $avirec exists for the comparisons"
fi

# ---- Wine's decoders read the layer's own block-codec encoders --------------------

if [ -x "$avirec" ]; then
  section "Wine's Cinepak and Video 1 decoders show our encoders' frames as ffmpeg does"
  # within_one A B: two raw pictures of the same, non-zero length whose samples
  # differ by at most 1.
  within_one() {
    python3 - "$1" "$2" <<'PY'
import sys
a = open(sys.argv[1], "rb").read()
b = open(sys.argv[2], "rb").read()
if not a or len(a) != len(b):
    print(f"  {len(a)} and {len(b)} bytes"); sys.exit(1)
worst = max(abs(x - y) for x, y in zip(a, b))
if worst > 1:
    at = next(i for i, (x, y) in enumerate(zip(a, b)) if abs(x - y) > 1)
    print(f"  samples differ by up to {worst}, first at byte {at}"); sys.exit(1)
PY
  }
  for codec in cvid msvc; do
    for size in 64x48 320x240; do
      name=own_${codec}_$size
      # Key frames every fifth: key and inter frames both.
      if "$avirec" -y -q --size "$size" --frames 12 --fps 15 --codec "$codec,keyframes=5" \
           "$run/$name.avi" > "$run/$name.log" 2>&1 &&
         ffmpeg -v error -i "$run/$name.avi" -f rawvideo -pix_fmt rgb24 - > "$run/$name.ffmpeg.rgb"; then
        run_windows "$name.read" - avi_read --pictures "$name.wine.rgb" "$name.avi"
        keys=$(grep -c ' key=1 ' "$run/$name.read.out")
        inter=$(grep -c ' key=0 ' "$run/$name.read.out")
        check "$name: Wine decodes all 12 frames, $keys key and $inter inter frames" \
          equal "$status $(field "$name.read" 'frames decoded') $((keys > 0 && inter > 0))" \
                "0 12 of 12 1"
        check "$name: Wine's pictures are ffmpeg's within 1 per sample" \
          within_one "$run/$name.wine.rgb" "$run/$name.ffmpeg.rgb"
      else
        fail "$name: recorded on Linux and decoded by ffmpeg" "$(tail -1 "$run/$name.log")"
      fi
    done
  done
fi

# Every Wine process has ended before the display goes.
exec 9>&-
for _ in $(seq 100); do kill -0 "$keeper_pid" 2> /dev/null || break; sleep 0.1; done
timeout 60 wineserver -w || fail "Wine's processes end"
finish
