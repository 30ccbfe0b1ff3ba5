#!/usr/bin/env bash
# Installs the build into a staging folder and checks the installed tree:
# the files, their run paths, nothing in the library folder itself, no test
# hook in the platform library, the installed avirec recording with the
# installed plug-in, its manual page naming every option, and a host built
# against the installed CMake package and pkg-config file loading the
# installed plug-in.
#   check_install.sh BUILD_DIR LIBDIR
set -uo pipefail
build=$1
libdir=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
private=$stage/$libdir/avi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
frames_of() {
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
          -of csv=p=0 "$1" 2> /dev/null
}

if ! cmake --install "$build" --prefix "$stage" > "$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi

for file in bin/avirec "$libdir/avi/libavi.so" "$libdir/avi/libavifil32.so" \
            "$libdir/avi/libuser32.so" "$libdir/avi/libjvislib.so" include/avi/avi_plugin.h \
            include/avi/host_services.h share/man/man1/avirec.1 share/doc/avi/README.md \
            share/doc/avi/host-toolkit.md lib/python3/dist-packages/avirec/__init__.py \
            lib/python3/dist-packages/avirec/matplotlib_writer.py \
            lib/python3/dist-packages/avirec/video_writer.py \
            lib/python3/dist-packages/avirec/imageio.py \
            "$libdir/cmake/avi/aviConfig.cmake" "$libdir/pkgconfig/avi.pc"; do
  [ -e "$stage/$file" ] || fail "$file is not installed"
done
compgen -G "$private/libj*.so" > /dev/null || fail "the host toolkit's library is not installed"
# Only folders in the library folder: every library is in the private one.
stray=$(find "$stage/$libdir" -maxdepth 1 -type f -printf '%f ')
[ -z "$stray" ] || fail "files in the library folder itself: $stray"

# Run paths: relative ones only, and they reach the private folder.
runpath() { readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'; }
relative=$(realpath --relative-to="$stage/bin" "$private")
[ "$(runpath "$stage/bin/avirec")" = "\$ORIGIN/$relative" ] ||
  fail "avirec's run path is '$(runpath "$stage/bin/avirec")', not '\$ORIGIN/$relative'"
for library in "$private"/*.so; do
  path=$(runpath "$library")
  case "$path" in
    ''|'$ORIGIN') ;;
    *) fail "$(basename "$library") has the run path '$path'" ;;
  esac
done
# The installed platform library is the shipped one: no test hook.
"$here/check_exports.sh" "$here/../../platform/include/avifile_test_hooks.h" \
  "$private/libavifil32.so" > "$work/exports.log" || fail "$(grep FAIL "$work/exports.log")"
ldd "$stage/bin/avirec" | grep -q "not found" && fail "avirec misses libraries: $(ldd "$stage/bin/avirec" | grep 'not found')"

# The installed avirec records, with the installed plug-in.
if "$stage/bin/avirec" -v -y --codec full --frames 3 --size 32x24 "$work/installed.avi" \
     > "$work/avirec.log" 2>&1; then
  grep -q "plug-in $private/libavi.so " "$work/avirec.log" ||
    fail "the installed avirec did not load the installed plug-in: $(grep plug-in "$work/avirec.log")"
  [ "$(frames_of "$work/installed.avi")" = 3 ] || fail "the installed avirec's movie has not 3 frames"
else
  fail "the installed avirec cannot record: $(tail -2 "$work/avirec.log")"
fi

# The installed Python module finds the installed avirec, with nothing on
# PATH or in AVIREC to point at it.
found=$(cd "$work" && env -u AVIREC PATH=/usr/bin:/bin PYTHONPATH="$stage/lib/python3/dist-packages" \
          /usr/bin/python3 -c 'import avirec; print(avirec.find_avirec())' 2>&1)
[ "$found" = "$stage/bin/avirec" ] || fail "the installed Python module finds '$found', not $stage/bin/avirec"

# The manual page names every option that --help lists.
page=$(sed 's/\\-/-/g' "$stage/share/man/man1/avirec.1")
for option in $("$stage/bin/avirec" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  grep -q -- "$option" <<< "$page" || fail "the manual page does not name $option"
done

# A host built against the installed CMake package, then against pkg-config.
if cmake -S "$here/host" -B "$work/host" -DCMAKE_PREFIX_PATH="$stage" > "$work/host.log" 2>&1 &&
   cmake --build "$work/host" >> "$work/host.log" 2>&1; then
  plugin=$(cat "$work/host/plugin_path.txt")
  [ "$plugin" = "$private/libavi.so" ] || fail "the CMake package names the plug-in '$plugin'"
  VFW_COMPRESSOR=full "$work/host/tiny_host" "$plugin" "$work/cmake_host.avi" > /dev/null &&
    [ "$(frames_of "$work/cmake_host.avi")" = 5 ] ||
    fail "the host built with the CMake package did not record 5 frames"
else
  fail "a host does not build against the CMake package: $(tail -5 "$work/host.log")"
fi
export PKG_CONFIG_PATH=$stage/$libdir/pkgconfig
# shellcheck disable=SC2046
if cc $(pkg-config --cflags avi) "$here/host/tiny_host.c" -o "$work/pc_host" $(pkg-config --libs avi) -ldl \
     > "$work/pc.log" 2>&1; then
  plugin=$(pkg-config --variable=plugin avi)
  [ "$(realpath "$plugin")" = "$private/libavi.so" ] || fail "pkg-config names the plug-in '$plugin'"
  VFW_COMPRESSOR=full "$work/pc_host" "$plugin" "$work/pc_host.avi" > /dev/null &&
    [ "$(frames_of "$work/pc_host.avi")" = 5 ] ||
    fail "the host built with pkg-config did not record 5 frames"
else
  fail "a host does not build with pkg-config: $(tail -5 "$work/pc.log")"
fi

echo "$failures failed"
[ "$failures" = 0 ]
