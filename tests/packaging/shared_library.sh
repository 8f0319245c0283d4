#!/bin/sh
# SPDX-License-Identifier: MIT
# The shared library: its soname, the names it exports (every function of
# the public header, and nothing but AP..., Xelbde..., Socket... and
# Tcpcom...), and c_api_test, a C program with helpers named like the
# library's inner ones, run in a fresh directory.
# Usage: shared_library.sh LIBRARY HEADER C_API_TEST
set -eu
lib=$1 header=$2 program=$3
. "$(dirname "$0")/common.sh"

soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libxelbde.so.1 ] || fail "soname is '$soname', expected libxelbde.so.1"

# Defined dynamic symbols without the version node (an absolute symbol).
exported=$(nm -D --defined-only "$lib" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort -u)
stray=$(printf '%s\n' "$exported" | grep -Ev '^(AP|Xelbde|Socket|Tcpcom)' || true)
[ -z "$stray" ] || fail "exported beyond the interface: $(echo $stray)"
declared=$(sed -n 's/^[A-Za-z].*[ *]\([A-Z][A-Za-z0-9]*\)(.*/\1/p' "$header" | sort -u)
[ "$(printf '%s\n' "$declared" | wc -l)" -ge 22 ] || fail "found only $(echo $declared) in $header"
for name in $declared; do
  printf '%s\n' "$exported" | grep -qx "$name" || fail "$name is declared in $header but not exported"
done

mkdir "$dir/.locks"
(cd "$dir" && XELBDE_LOCKDIR=$dir/.locks "$program") || fail "c_api_test"

finish "shared library: soname, $(printf '%s\n' "$exported" | wc -l) exported names, C caller"
