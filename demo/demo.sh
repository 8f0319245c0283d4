#!/bin/sh
# SPDX-License-Identifier: MIT
# A short tour of xelcmd against simulated terminals. Usage: demo/demo.sh BUILD_DIR
#
# Runs in a private network namespace (unshare -rn), where bdesim can listen
# on port 23 of 127.0.0.x and nothing leaves the machine; bdesim is stopped at
# the end and the working directory removed.
set -eu
build=$(cd "${1:-build}" && pwd)
if [ -z "${XELDEMO_NAMESPACE:-}" ]; then
  exec env XELDEMO_NAMESPACE=1 unshare -rn sh "$0" "$build"
fi
ip link set lo up

xelcmd=$build/cmd/xelcmd
xelfleet=$build/cmd/xelfleet
bdesim=$build/sim/bdesim
work=$(mktemp -d /tmp/xelcmd-demo-XXXXXX)
sim=
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

say() { printf '\n# %s\n' "$*"; }
show() {
  printf '$ %s\n' "$*" | sed "s|$xelcmd|xelcmd|; s|$xelfleet|xelfleet|"
  status=0
  "$@" || status=$?
  printf '\n(exit status %d)\n' "$status"
}

say "The front end on its own"
echo x | show "$xelcmd"
show "$xelcmd" HALLE1 apwhat00
show "$xelcmd" HALLE1 apevt00b
show "$xelcmd" HALLE1 apdel00b

cat > bdesim.conf <<'EOF'
# Two terminals on the hall network and one reached by ISDN through an adapter.
[terminal HALLE1]
listen = 127.0.0.2
status = B5D8
version = KORVO 5214-031 V2.40 (simulated)
radio = W
memory = 9999

[terminal LAGER2]
listen = 127.0.0.3
status = A2D8
clock = 070203140509
radio = N

[terminal FERN1]
number = 0123456789
status = 3F3F

[terminal LANGSAM]
listen = 127.0.0.4
memory = 9999
# a slow line: every reply comes 15 ms late
fault = any delay=15

[adapter ROUTER1]
listen = 127.0.0.5
id = 4711
EOF
cat > terminal.ini <<'EOF'
; the terminals of this tour
[HALLE1]
IP = 127.0.0.2
[LAGER2]
IP = 127.0.0.3
[FERN1]
KLASSE = ISDN
VORWAHL = 0123
NUMMER = 456789
UEBERHANG = 45
[LANGSAM]
IP = 127.0.0.4
[ROUTER1]
KLASSE = ADPT
IP = 127.0.0.5
NUMMER = 555
EOF
"$bdesim" --config bdesim.conf --ready-file ready >bdesim.out 2>&1 &
sim=$!
tries=0
until [ -f ready ]; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ] || ! kill -0 "$sim" 2>/dev/null; then
    echo "bdesim did not start:"; cat bdesim.out; exit 1
  fi
  sleep 0.1
done

# The lock files go into the tour's own directory, so it leaves nothing behind.
mkdir .locks
export DEBUG_LEVEL=0 XELBDE_TIMEOUT=5 XELBDE_LOCKDIR="$work/.locks"
say "bdesim plays HALLE1 (127.0.0.2), LAGER2 (127.0.0.3) and, through the ISDN adapter ROUTER1, FERN1"
cat terminal.ini

say "Type, raw status and version"
show "$xelcmd" HALLE1 aptyp01b
show "$xelcmd" LAGER2 aptyp01b
show "$xelcmd" FERN1 aprst00b
show "$xelcmd" HALLE1 apdmtver

say "Clock: read, set to a given time, read again, set to the host's time"
show "$xelcmd" LAGER2 aprtvclk
show "$xelcmd" LAGER2 apscl00b 235959311207
show "$xelcmd" LAGER2 aprtvclk
show "$xelcmd" HALLE1 apscl00b
show "$xelcmd" HALLE1 aprtvclk

say "Free memory (the figure goes into the operations log) and the directory"
show "$xelcmd" HALLE1 apfmt00b
show "$xelcmd" HALLE1 apdir00b dir.bin
printf 'directory information: %s bytes\n' "$(wc -c < dir.bin)"

say "Download a file, upload it back, compare"
seq 1 20000 > orders.txt
show "$xelcmd" HALLE1 apdnload orders.txt ORDERS 1
show "$xelcmd" HALLE1 apupload back.txt ORDERS 0
cmp orders.txt back.txt && echo "orders.txt and back.txt are identical ($(wc -c < back.txt) bytes)"

say "A memory page"
show "$xelcmd" HALLE1 apdsppge 1A2B 05

say "Delete the file, then try to fetch it again"
show "$xelcmd" HALLE1 apdel00b ORDERS
show "$xelcmd" HALLE1 apupload again.txt ORDERS 0

say "The ISDN terminal again: type through the adapter"
show "$xelcmd" FERN1 aptyp01b

say "A long download over a slow line shows its progress on standard error (a terminal)"
seq 1 40000 > big.txt
if [ -t 2 ]; then
  show "$xelcmd" LANGSAM apdnload big.txt BIG 1
else
  # Not on a terminal here: run it on a pseudo-terminal and show the line's refreshes one below the other.
  printf '$ xelcmd LANGSAM apdnload big.txt BIG 1\n'
  script -qec "$xelcmd LANGSAM apdnload big.txt BIG 1" /dev/null | tr '\r' '\n' | sed 's/\x1b\[K//g; /^$/d'
fi

say "A terminal that is not there: nothing listens on 127.0.0.9"
printf '[GONE]\nIP = 127.0.0.9\n' >> terminal.ini
show env XELBDE_TIMEOUT=1 "$xelcmd" GONE aptyp01b

say "Many terminals at once: every terminal of terminal.ini (the adapter left out), one line each; the summary on standard error"
show "$xelfleet" -j 4 -i terminal.ini --timeout 1 -- aptyp01b

say "An inventory over one connection per terminal, as comma-separated values for a spreadsheet"
show "$xelfleet" inventory -i terminal.ini --timeout 1 --format csv --order input

say "A round with a job log (one line per attempt), then the same round again: only what failed is run"
show "$xelfleet" -i terminal.ini --timeout 1 --retry 1 --joblog jobs.log --format tsv -- aprtvclk
cat jobs.log
show "$xelfleet" -i terminal.ini --timeout 1 --joblog jobs.log --resume jobs.log -- aprtvclk

say "The operations log of HALLE1 (every call above left a record)"
show "$xelcmd" HALLE1 apdsplog '*ALL'
say "Only its failures"
show "$xelcmd" HALLE1 apdsplog '*ERR'
