#!/bin/sh
# A short tour of xelcmd. Usage: demo/demo.sh BUILD_DIR
set -eu
build=${1:-build}
xelcmd=$(cd "$build" && pwd)/cmd/xelcmd
work=$(mktemp -d /tmp/xelcmd-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
show() { echo "\$ $*"; "$@" || echo "(exit status $?)"; echo; }
echo x | show "$xelcmd"
show "$xelcmd" T1 apwhat00
show "$xelcmd" T1 apevt00b
show "$xelcmd" T1 apdel00b
