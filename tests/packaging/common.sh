# SPDX-License-Identifier: MIT
# Sourced by the packaging tests: a failure count, a scratch directory that
# is removed at exit together with the bdesim that start_bdesim started, and
# the closing line.
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dir=$(mktemp -d /tmp/xeltest-XXXXXX)
sim=
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

# start_bdesim BDESIM ARGS...: starts it in the background in the current
# directory and waits until it listens (10 s at the most).
start_bdesim() {
  "$@" --ready-file ready >bdesim.out 2>&1 &
  sim=$!
  tries=0
  until [ -f ready ]; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ] || ! kill -0 "$sim" 2>/dev/null; then cat bdesim.out; fail "$1 did not start"; exit 1; fi
    sleep 0.1
  done
}

# finish WHAT: "WHAT: ok" when nothing failed; the exit status is the count.
finish() {
  [ $failures -eq 0 ] && echo "$1: ok"
  exit $failures
}
