#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the examples against a simulated terminal: bdesim as HALLE1 on
# 127.0.0.2, its store holding the file BOOK the examples upload, and a
# terminal.ini naming it. Everything runs in a private network namespace
# (unshare -rn), where bdesim may listen on port 23 and nothing leaves the
# machine, inside a scratch directory that is removed at the end; bdesim is
# stopped by its process id.
#
# Usage: examples/run.sh BUILD_DIR [c|cobol|python]...   (default: all three;
#        `make examples` builds what they need and runs all three)
set -eu
build=$(cd "${1:?usage: examples/run.sh BUILD_DIR [c|cobol|python]...}" && pwd)
shift
source=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${XELBDE_EXAMPLES_NAMESPACE:-}" ]; then
  exec env XELBDE_EXAMPLES_NAMESPACE=1 unshare -rn sh "$0" "$build" "$@"
fi
ip link set lo up

work=$(mktemp -d "${TMPDIR:-/tmp}/xelbde-examples-XXXXXX")
sim=
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
mkdir locks store
export XELBDE_LOCKDIR="$work/locks" LD_LIBRARY_PATH="$build/lib" TERMINI="$work"
printf '[HALLE1]\nIP = 127.0.0.2\n' > terminal.ini
seq 1 3000 > store/BOOK.dat

"$build/sim/bdesim" --listen 127.0.0.2 --name HALLE1 --store store --version KORVO_5214-031_EXAMPLE \
  --ready-file ready >bdesim.out 2>&1 &
sim=$!
tries=0
until [ -f ready ]; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ] || ! kill -0 "$sim" 2>/dev/null; then cat bdesim.out; echo "bdesim did not start" >&2; exit 1; fi
  sleep 0.1
done

status=0
for example in ${*:-c cobol python}; do
  printf '\n== %s example\n' "$example"
  case $example in
    c)
      cc -Wall -o xeltour "$source/examples/c/xeltour.c" -I "$build/include" -L "$build/lib" -lxelbde
      run=./xeltour ;;
    cobol)
      command -v cobc >/dev/null || { echo "skipped: cobc (Debian package gnucobol) is not installed"; continue; }
      cobc -x -fstatic-call -I "$source/examples/cobol" -L "$build/lib" -lxelbde -o xeltour-cobol \
        "$source/examples/cobol/xeltour.cob"
      run=./xeltour-cobol ;;
    python)
      run="python3 $source/examples/python/xeltour.py" ;;
    *)
      echo "unknown example $example (c, cobol, python)" >&2; exit 2 ;;
  esac
  rm -f book.dat
  code=0
  $run || code=$?
  if [ $code -ne 0 ]; then
    echo "the $example example ended with $code" >&2
    status=1
  elif cmp -s store/BOOK.dat book.dat; then
    echo "(book.dat holds the terminal's BOOK)"
  else
    echo "the $example example did not leave the terminal's BOOK in book.dat" >&2
    status=1
  fi
done
exit $status
