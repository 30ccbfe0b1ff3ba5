#!/usr/bin/env bash
# Installs what is needed, builds the project twice (the release preset, and
# the sanitize preset with AddressSanitizer + UndefinedBehaviorSanitizer),
# runs every test of both, fuzzes each fuzz target for a few seconds, builds
# and round-trips the Debian package, and tests the Windows build under Wine.
#   scripts/test.sh              everything (as root)
#   scripts/test.sh --linux-only without the Windows build
set -euo pipefail
cd "$(dirname "$0")/.."
linux_only=0
for arg in "$@"; do
  case "$arg" in
    --linux-only) linux_only=1 ;;
    *) echo "usage: scripts/test.sh [--linux-only]" >&2; exit 2 ;;
  esac
done

if [ "$linux_only" = 1 ]; then
  scripts/install-deps.sh --linux-only
else
  scripts/install-deps.sh
fi
jobs=$(nproc)

for preset in release sanitize; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$jobs"
done

status=0
echo "== Tests: release build"
ctest --preset release -j"$jobs" || status=1
echo "== Tests: sanitizer build"
ctest --preset sanitize -j"$jobs" || status=1

echo "== Fuzzing: each target for 10 seconds (clang, libFuzzer)"
scripts/fuzz.sh 10 || status=1

echo "== Package: the .deb installed, used and removed"
scripts/test-package.sh build || status=1

if [ "$linux_only" = 0 ]; then
  echo "== Tests: Windows build under Wine (ctest --preset windows)"
  ctest --preset windows || status=1
fi
exit $status
