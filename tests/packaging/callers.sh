#!/bin/sh
# SPDX-License-Identifier: MIT
# One caller of examples/ against bdesim, built as its README section says:
# run against a simulated terminal whose store holds the file BOOK, it must
# print the terminal's type and version, leave BOOK's bytes in book.dat and
# end with 0; asked for a file the terminal does not have, it must end
# with the terminal's status 96. Runs inside a private network namespace
# (tests/netns-run), where bdesim listens on 127.0.0.2, port 23.
# Usage: callers.sh c|cobol|python BUILD_DIR SOURCE_DIR [C_EXAMPLE]
set -eu
language=$1 build=$2 source=$3 c_example=${4:-}
. "$(dirname "$0")/common.sh"
cd "$dir"
mkdir .locks store
export XELBDE_LOCKDIR="$dir/.locks" LD_LIBRARY_PATH="$build/lib"
seq 1 3000 > store/BOOK.dat  # more than one upload block

start_bdesim "$build/sim/bdesim" --listen 127.0.0.2 --name HALLE1 --store store --version "KORVO_5214-031_TOUR"

# The ways each caller is built and run: "NAME COMMAND..." per line.
case $language in
  c)
    runs="c $c_example" ;;
  cobol)
    cobc -x -fstatic-call -I "$source/examples/cobol" -L "$build/lib" -lxelbde -o tour-static \
      "$source/examples/cobol/xeltour.cob" || fail "cobc -fstatic-call"
    cobc -x -fstatic-call -I "$source/examples/cobol" -o tour-archive "$source/examples/cobol/xeltour.cob" \
      "$build/lib/libxelbde.a" -lstdc++ || fail "cobc -fstatic-call with libxelbde.a"
    cobc -x -I "$source/examples/cobol" -o tour-dynamic "$source/examples/cobol/xeltour.cob" || fail "cobc"
    runs="static ./tour-static
archive ./tour-archive
dynamic env COB_PRE_LOAD=$build/lib/libxelbde.so.1 ./tour-dynamic" ;;
  python)
    runs="python python3 $source/examples/python/xeltour.py" ;;
  *)
    fail "unknown language $language"; exit 1 ;;
esac

printf '%s\n' "$runs" | while read -r name command; do
  rm -f book.dat
  status=0
  $command 127.0.0.2 >out.txt 2>&1 || status=$?
  [ $status -eq 0 ] || { cat out.txt; fail "$name: exit status $status"; }
  grep -qx 'type: 5214-031' out.txt || { cat out.txt; fail "$name: no type"; }
  grep -qx 'version: KORVO 5214-031 TOUR' out.txt || { cat out.txt; fail "$name: no version"; }
  cmp -s store/BOOK.dat book.dat || fail "$name: book.dat differs from the terminal's BOOK"

  status=0
  $command 127.0.0.2 NOFILE nofile.dat >out.txt 2>&1 || status=$?
  [ $status -eq 96 ] || { cat out.txt; fail "$name: exit status $status for a missing file, expected 96"; }
  grep -qx 'APUPL00B: 96' out.txt || { cat out.txt; fail "$name: code 96 not shown"; }
  [ $failures -eq 0 ] || exit 1
done || failures=$((failures + 1))

finish "$language caller"
