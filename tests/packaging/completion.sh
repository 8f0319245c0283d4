#!/bin/sh
# SPDX-License-Identifier: MIT
# The bash completion of xelcmd and xelfleet: each case completes the words typed so far
# (the last one incomplete) and must offer exactly the expected words.
# Usage: completion.sh COMPLETION_FILE
set -eu
file=$1
dir=$(mktemp -d /tmp/xeltest-XXXXXX)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
mkdir ini
printf '; hall\r\n[HALLE1]\r\nIP = 10.1.2.3\r\n [ HALLE2 ] \nIP=10.1.2.4\n[FERN1]\nKLASSE = ISDN\n[ROUTER1]\nKLASSE = ADPT\nIP = 10.1.2.250\n' \
  > ini/terminal.ini
touch orders.txt order2.txt

status=0
bash -c '
. "$1"
failures=0
check() {  # TERMINI | words typed | expected completions [| program]
  COMP_WORDS=(${4:-xelcmd} $2)
  [[ $2 == *" " || -z $2 ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  TERMINI=$1 _${4:-xelcmd}
  got=$(printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " ")
  want=$(printf "%s\n" $3 | sort | tr "\n" " ")
  [[ $got == "$want" ]] || { echo "FAIL: \"$2\": got \"$got\", expected \"$want\""; failures=$((failures + 1)); }
}
set -f
check ini ""                        "HALLE1 HALLE2 FERN1"
check ini "HA"                      "HALLE1 HALLE2"
check .   ""                        ""
check ini "HALLE1 apd"              "apdel00b apdir00b apdmtver apdnload apdnp00b apdsplog apdsppge"
check ini "HALLE1 APTY"             "aptyp01b"
check ini "HALLE1 apdnload ord"     "orders.txt order2.txt"
check ini "HALLE1 apdnload orders.txt ORDERS " "0 1"
check ini "HALLE1 apupload x.dat BOOK " "0 1"
check ini "HALLE1 apdsplog *E"      "*ERR"
check ini "HALLE1 apdsplog *ALL or" "orders.txt order2.txt"
check ini "HALLE1 aptyp01b "        ""
check ini "-j 4 H"                  "HALLE1 HALLE2" xelfleet
check ini "-j 4 -- apt"             "aptyp01b" xelfleet
check ini "HALLE1 -- apupload x.dat BOOK " "0 1" xelfleet
check ini "in"                      "inventory" xelfleet
check ini "inventory --format j"    "json" xelfleet
check ini "--re"                    "--retry --retry-codes --resume" xelfleet
[ $failures -eq 0 ] && echo "completion: ok"
exit $failures
' completion "$file" || status=$?
exit $status
