#!/usr/bin/env bash
# The Debian package's round trip (as root, on Debian 12): builds the .deb
# from BUILD_DIR with cpack, installs it with apt-get, and with the build tree
# moved away records a movie with the installed avirec from a folder outside
# the checkout, decodes it with ffprobe, opens the manual page, records numpy
# frames through the installed Python module, then removes the package and
# checks that none of its files are left.
#   scripts/test-package.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
source scripts/checks.sh

log=$(mktemp)
rm -f "$build"/avi_*.deb
if (cd "$build" && cpack -G DEB) > "$log" 2>&1 && compgen -G "$build/avi_*.deb" > /dev/null; then
  pass "cpack builds the .deb"
else
  tail -30 "$log"
  fail "cpack builds the .deb"
  finish
fi
deb=$(compgen -G "$build/avi_*.deb" | head -1)
depends=$(dpkg-deb -f "$deb" Depends)
echo "  Depends: $depends"
check "its dependencies are worked out from the libraries (libavcodec, libc6)" \
  grep -q 'libavcodec.*libc6\|libc6.*libavcodec' <<< "$depends"

if dpkg-query -W avi > /dev/null 2>&1; then
  apt-get remove -y avi > /dev/null 2>&1
fi
if apt-get install -y "$deb" > "$log" 2>&1; then
  pass "apt-get installs it"
else
  tail -20 "$log"
  fail "apt-get installs it"
  finish
fi
mapfile -t files < <(dpkg -L avi | while read -r path; do [ -f "$path" ] && echo "$path"; done)

# Only the package from here on: the build tree is moved away and the
# recording runs in a folder outside the checkout.
away="$build.moved-away"
mv "$build" "$away"
work=$(mktemp -d /tmp/avi-package-XXXXXX)
restore() { mv "$away" "$build"; rm -rf "$work" "$log"; }
trap restore EXIT
cd "$work" || finish

on_path() { [ "$(command -v avirec)" = /usr/bin/avirec ]; }
check "avirec is on the PATH, in /usr/bin" on_path
check "man avirec finds the manual page" sh -c 'man -w avirec > /dev/null && man avirec 2>/dev/null | grep -q -- --raw-out'
if avirec -y --codec full --frames 5 --size 64x48 --fps 25 movie.avi > avirec.log 2>&1; then
  check "the installed avirec records a movie that ffprobe decodes (5 frames)" \
    test "$(frames_of movie.avi)" = 5
else
  fail "the installed avirec records" "$(tail -2 avirec.log)"
fi
cat > numpy_frames.py <<'PY'
import numpy, avirec
frames = [numpy.full((24, 32, 3), i * 40, dtype=numpy.uint8) for i in range(4)]
with avirec.Writer("numpy.avi", size=(32, 24), fps=10, codec="full") as movie:
    for frame in frames:
        movie.write(frame)
PY
if /usr/bin/python3 numpy_frames.py > python.log 2>&1; then
  check "the installed Python module records numpy frames (4 frames)" test "$(frames_of numpy.avi)" = 4
else
  fail "the installed Python module records numpy frames" "$(tail -2 python.log)"
fi
cd / || finish

if apt-get remove -y --purge avi > "$log" 2>&1; then
  pass "apt-get removes it"
else
  tail -10 "$log"
  fail "apt-get removes it"
fi
left=()
for path in "${files[@]}"; do
  [ -e "$path" ] && left+=("$path")
done
check "none of its ${#files[@]} files are left (${left[*]:-none})" test "${#left[@]}" = 0
check "no folder of its own is left" sh -c '! ls -d /usr/lib/*/avi /usr/include/avi /usr/lib/python3/dist-packages/avirec 2>/dev/null | grep -q .'
finish
