#!/usr/bin/env bash
# Installs what is needed, builds the project twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer), runs every test of both,
# fuzzes each fuzz target for a few seconds, and tests the Windows build
# under Wine.
#   scripts/test.sh              everything
#   scripts/test.sh --linux-only only the Linux builds' tests
set -euo pipefail
cd "$(dirname "$0")/.."
linux_only=0
for arg in "$@"; do
  case "$arg" in
    --linux-only) linux_only=1 ;;
    *) echo "usage: scripts/test.sh [--linux-only]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DAVI_WERROR=ON
cmake --build build -j"$jobs"
# The sanitizer build links the older toolkit generation, so that both are tested.
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAVI_SANITIZE=ON -DAVI_WERROR=ON \
      -DAVI_BUILD_BENCHMARKS=OFF -DAVI_HOST_TOOLKIT=jlib
cmake --build build-sanitize -j"$jobs"

status=0
echo "== Tests: plain build"
ctest --test-dir build --output-on-failure -j"$jobs" || status=1
echo "== Tests: sanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs" || status=1

echo "== Fuzzing: each target for 10 seconds (clang, libFuzzer)"
scripts/fuzz.sh 10 || status=1

if [ "$linux_only" = 0 ] && [ -x scripts/test-windows.sh ]; then
  echo "== Tests: Windows build under Wine"
  scripts/test-windows.sh || status=1
fi
exit $status
