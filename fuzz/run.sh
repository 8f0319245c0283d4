#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the fuzz targets of a fuzz build (make fuzz) one after another, each
# over its committed corpus (fuzz/corpus/TARGET) for a fixed time.
#
#   sh fuzz/run.sh BUILD SECONDS [merge]
#
# New inputs go to BUILD/fuzz-corpus/TARGET; with "merge" those that reach
# something the committed corpus does not are then merged into it. A fault
# stops the run with a non-zero status; its input is in
# BUILD/fuzz-artifacts/TARGET/ and the report in BUILD/fuzz-TARGET.log.
# TARGETS="call" limits the run to the targets named.
set -eu
build=$(cd "$1" && pwd)
seconds=$2
merge=${3:-}
corpus=$(cd "$(dirname "$0")" && pwd)/corpus
for target in ${TARGETS:-terminal_ini log_line call}; do
    # Inputs up to their full length from the start: terminal.ini is read in
    # 4 KB chunks, the log in 64 KB pieces, and their boundaries matter.
    case $target in
        call) limits="-max_len=8192" ;;
        terminal_ini) limits="-max_len=16384 -len_control=0" ;;
        log_line) limits="-max_len=140000 -len_control=0" ;;
    esac
    found=$build/fuzz-corpus/$target
    artifacts=$build/fuzz-artifacts/$target
    log=$build/fuzz-$target.log
    mkdir -p "$found" "$artifacts"
    if ! "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" $limits -timeout=20 \
            -print_final_stats=1 -artifact_prefix="$artifacts/" "$found" "$corpus/$target" 2>"$log"; then
        tail -n 80 "$log"
        echo "fuzz: $target found a fault; the input is in $artifacts/" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cov=$(sed -n 's/.*DONE *cov: \([0-9]*\).*/\1/p' "$log" | tail -n 1)
    echo "fuzz: $target: $runs runs in ${seconds}s, $speed exec/s, cov: $cov edges, no fault"
    if [ "$merge" = merge ]; then
        "$build/fuzz/${target}_fuzz" -merge=1 $limits -timeout=20 "$corpus/$target" "$found" \
            2>>"$log"
        echo "fuzz: $target: corpus now $(ls "$corpus/$target" | wc -l) inputs"
    fi
done
