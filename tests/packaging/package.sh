#!/bin/sh
# SPDX-License-Identifier: MIT
# The Debian packages installed on this machine (by .ci/debian, after
# `make package`), at work: every program, the Python package and the
# manual pages come from the packages, xelcmd talks to the packaged bdesim,
# and the packaged C example, built with pkg-config against libxelbde-dev,
# uploads a file from it. Runs inside a private network namespace
# (tests/netns-run).
# Usage: package.sh VERSION
set -eu
version=$1
. "$(dirname "$0")/common.sh"
cd "$dir"
mkdir .locks store
export XELBDE_LOCKDIR="$dir/.locks"
unset PKG_CONFIG_PATH LD_LIBRARY_PATH

# What each says of itself: the packaged files, and Debian's own python3
# whatever PATH has first.
expect() {
  expected=$1; shift
  actual=$("$@" 2>&1) || true
  [ "$actual" = "$expected" ] || fail "$*: '$actual', expected '$expected'"
}
expect "xelfleet $version" /usr/bin/xelfleet --version
expect "bdesim $version" /usr/bin/bdesim --version
expect "$version" /usr/bin/python3 -I -c 'import xelbde; print(xelbde.version())'
expect /usr/lib/python3/dist-packages/xelbde/__init__.py /usr/bin/python3 -I -c 'import xelbde; print(xelbde.__file__)'
expect /usr/share/man/man3/xelbde.3.gz man -w 3 APALC00B
MANWIDTH=80 man 3 APALC00B 2>&1 | grep -q "^XELBDE(3) .*Library Functions Manual" ||
  fail "man 3 APALC00B does not show xelbde(3)"

seq 1 500 > store/BOOK.dat
start_bdesim /usr/bin/bdesim --listen 127.0.0.2 --name HALLE1 --store store
[ "$(/usr/bin/xelcmd 127.0.0.2 aptyp01b)" = "5214-031" ] || fail "xelcmd: $(/usr/bin/xelcmd 127.0.0.2 aptyp01b)"

# shellcheck disable=SC2046
cc -o xeltour /usr/share/doc/libxelbde-dev/examples/c/xeltour.c $(pkg-config --cflags --libs xelbde) ||
  fail "the packaged C example does not build against libxelbde-dev"
ldd ./xeltour | grep -Eq " => (/usr)?/lib/[^ ]*/libxelbde\.so\.1 " || fail "xeltour is not linked with the packaged library"
./xeltour 127.0.0.2 >xeltour.out 2>&1 || { cat xeltour.out; fail "the packaged C example ended $?"; }
cmp -s store/BOOK.dat book.dat || fail "the packaged C example did not upload BOOK"

finish "installed packages $version"
