#!/bin/sh
# A short tour of xelcmd. Usage: demo/demo.sh BUILD_DIR
set -eu
build=${1:-build}
xelcmd=$(cd "$build" && pwd)/cmd/xelcmd
work=$(mktemp -d /tmp/xelcmd-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
show() { echo "\$ $*"; "$@" || echo "(exit status $?)"; echo; }

echo "=== The front end on its own ==="
echo
echo "--- usage text (a key is fed for its page pause) ---"
echo x | show "$xelcmd"
echo "--- an unknown command word, one not implemented, one without its argument ---"
show "$xelcmd" T1 apwhat00
show "$xelcmd" T1 apevt00b
show "$xelcmd" T1 apdel00b
echo "--- a command whose terminal cannot be reached (127.0.0.1, time-out 2 s) ---"
show env DEBUG_LEVEL=0 XELBDE_TIMEOUT=2 "$xelcmd" 127.0.0.1 aptyp01b
echo "--- the log that command left, and its operations log listing ---"
show cat xelbde.log
show "$xelcmd" 127.0.0.1 apdsplog '*ALL'
