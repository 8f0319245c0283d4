#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the Python package's tests against the library and bdesim of a build,
# inside a private network namespace (bdesim listens on 127.0.0.x port 23).
# Usage: python/tests/run.sh BUILD_DIR
set -eu
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../../tests/netns-run" env LD_LIBRARY_PATH="$build/lib" XELBDE_BDESIM="$build/sim/bdesim" \
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -q "$here"
