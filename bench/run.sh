#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the bench table (bench/benchrun.cpp) in a private network namespace
# and writes it to bench/RESULTS.md. Usage: bench/run.sh [BUILD_DIR]
set -eu
build=$(cd "${1:-build}" && pwd)
results=$(cd "$(dirname "$0")" && pwd)/RESULTS.md
exec unshare -rn sh -c 'ip link set lo up && exec "$0" "$@"' "$build/bench/benchrun" "$build" "$results"
