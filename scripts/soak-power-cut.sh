#!/bin/sh
# Cuts the power at 100,000 points of recordings (and of repairs) on the
# power-cut disk of the container tests, with a seed of its own unless
# POWER_CUT_SEED is given; every failure prints the seed that repeats it.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
seed=${POWER_CUT_SEED:-$(date +%s)}
tmp=$build/tests/container/tmp
mkdir -p "$tmp"
echo "soak-power-cut: seed $seed"
# 4 draws give about 2,400 cuts; 168 give about 100,000.
POWER_CUT_SEED=$seed POWER_CUT_DRAWS=${POWER_CUT_DRAWS:-168} TMPDIR=$tmp \
    "$build/bin/test_container" --gtest_filter='Cuts/PowerCut.*'
