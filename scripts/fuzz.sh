#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (in build-fuzz/) and fuzzes
# each one for SECONDS (default 10), starting from its committed corpus in a
# scratch copy, after replaying its saved crash inputs. Exits non-zero when an
# input crashes, leaks, breaks a target's check or draws a sanitizer report;
# such inputs are kept in build-fuzz/findings/.
#   scripts/fuzz.sh [SECONDS]
# AVI_FUZZ_BUILD names another build folder; AVI_FUZZ_TARGETS="a b" picks targets.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
case "$seconds" in
  ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac
build=${AVI_FUZZ_BUILD:-build-fuzz}
read -r -a targets <<< "${AVI_FUZZ_TARGETS:-compressor_choice preferences plugin_calls repair}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  generator=()
  if command -v ninja >/dev/null; then generator=(-G Ninja); fi
  # Warnings stay on but not as errors: clang warns about code that GCC,
  # which the -Werror builds use, accepts. Light optimisation and line
  # tables only keep the build short; assertions stay in.
  flags="-O1 -gline-tables-only"
  CC=clang CXX=clang++ cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
    -DAVI_FUZZ=ON -DAVI_WERROR=OFF -DBUILD_TESTING=OFF -DAVI_BUILD_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings="$build/findings"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The start of the first report in a log: the failed check or the
# sanitizer's error with the top of its stack.
report() {
  awk '/Running: |check failed|ERROR: |runtime error:/ { on = 1 } on && shown < 12 { print; ++shown }' "$1"
}

status=0
for target in "${targets[@]}"; do
  program="$build/bin/fuzz_$target"
  mkdir -p "$findings"
  regressions=(fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ]; then
    if ! "$program" -runs=1 "${regressions[@]}" >"$scratch/$target.replay.log" 2>&1; then
      echo "FAIL $target: a saved crash input still fails:"
      report "$scratch/$target.replay.log"
      cp "$scratch/$target.replay.log" "$findings/$target.replay.log"
      status=1
    fi
  fi
  cp -r "fuzz/corpus/$target" "$scratch/$target"
  before=$(find "$scratch/$target" -type f | wc -l)
  log="$scratch/$target.log"
  if "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$findings/$target-" "$scratch/$target" >"$log" 2>&1 &&
     ! grep -qE "runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer" "$log"; then
    result=ok
  else
    result=FAIL
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  after=$(find "$scratch/$target" -type f | wc -l)
  echo "$result $target: ${runs:-?} executions (${rate:-?}/s) in ${seconds}s; corpus $before -> $after inputs"
  if [ "$result" = FAIL ]; then
    report "$log"
    grep -E "Test unit written" "$log" || true
    echo "(full log: $findings/$target.log)"
    cp "$log" "$findings/$target.log"
  fi
done
exit $status
