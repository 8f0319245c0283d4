#!/bin/sh
# Runs every benchmark of the build directory given (default: build).
set -eu
build=${1:-build}
for bench in "$build"/bench/*_bench; do
  echo "== $(basename "$bench")"
  "$bench"
done
