#!/usr/bin/env bash
# Checks that a platform library exports none of the test hooks (the
# functions that avifile_test_hooks.h declares), and, given the test
# variant, that it exports every one of them: the names read from the header
# are then known to be the ones the linker sees.
#   check_exports.sh TEST_HOOKS_HEADER LIBRARY [TEST_VARIANT]
set -uo pipefail
header=$1
library=$2
variant=${3:-}
hooks=$(sed -n 's/^AVIFILE_HOOK_API .*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort -u)
if [ -z "$hooks" ]; then
  echo "FAIL: no test hook declared in $header"
  exit 1
fi
exported() { nm -D --defined-only -C "$1" | sed -n 's/.* avifile::\([A-Za-z0-9_]*\)(.*/\1/p' | sort -u; }
failures=0
shipped=$(exported "$library")
for hook in $hooks; do
  if grep -qx "$hook" <<< "$shipped"; then
    echo "FAIL: $library exports the test hook $hook"
    failures=$((failures + 1))
  fi
done
if [ -n "$variant" ]; then
  tested=$(exported "$variant")
  for hook in $hooks; do
    if ! grep -qx "$hook" <<< "$tested"; then
      echo "FAIL: the test variant $variant does not export $hook"
      failures=$((failures + 1))
    fi
  done
fi
echo "$(wc -w <<< "$hooks") test hooks checked, $failures failed"
[ "$failures" = 0 ]
