#!/bin/sh
# SPDX-License-Identifier: MIT
# The manual pages: man -l renders each without a single groff warning, and
# each names what it documents: xelcmd(1) every command word of the usage
# text, xelfleet(1) and bdesim(1) every option of their --help, xelbde(3)
# every function of the public header; the pages with return codes list the
# library's with their names.
# Usage: manuals.sh MAN_DIR XELCMD BDESIM HEADER XELFLEET
set -eu
man_dir=$1 xelcmd=$2 bdesim=$3 header=$4 xelfleet=$5
. "$(dirname "$0")/common.sh"
for page in xelcmd.1 xelfleet.1 bdesim.1 xelbde.3; do
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -E UTF-8 -l "$man_dir/$page" >"$dir/$page.txt" 2>"$dir/$page.err" ||
    fail "man -l $page ended $?"
  [ ! -s "$dir/$page.err" ] || { cat "$dir/$page.err"; fail "$page renders with warnings"; }
  grep -q '^NAME' "$dir/$page.txt" || fail "$page rendered without NAME"
done

# Every word must appear as a word of the rendered page.
names() { page=$1; shift; for word in "$@"; do grep -qw -- "$word" "$dir/$page.txt" || fail "$page lacks $word"; done; }
# shellcheck disable=SC2046
names xelcmd.1 $(cd "$dir" && "$xelcmd" </dev/null | grep -o 'ap[a-z0-9]\{6\}' | sort -u)
# shellcheck disable=SC2046
names bdesim.1 $("$bdesim" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
# shellcheck disable=SC2046
names xelfleet.1 $("$xelfleet" --help | grep -o -- ' -[a-z-]*' | sort -u)
# shellcheck disable=SC2046
names xelbde.3 $(sed -n 's/^[A-Za-z].*[ *]\([A-Z][A-Za-z0-9]*\)(.*/\1/p' "$header" | sort -u)
for page in xelcmd.1 xelfleet.1 xelbde.3; do
  for code in "00 (ok)" "16 (exchange-failed)" "33 (connection-state)" "69 (isdn-identification)"; do
    grep -q "^ *$code" "$dir/$page.txt" || fail "$page lacks return code $code"
  done
done

finish "manual pages"
