#!/bin/sh
# The Debian packages as `make package` makes them (cpack, into a scratch
# directory): their names, versions, dependencies and contents; then both
# unpacked with dpkg -x into a scratch root, where xelcmd talks to the
# packaged bdesim and the packaged C example, built against the unpacked
# xelbde-dev, uploads a file. Runs inside a private network namespace
# (tests/netns-run).
# Usage: package.sh BUILD_DIR VERSION
set -eu
build=$1 version=$2
. "$(dirname "$0")/common.sh"
cd "$dir"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$dir/cpack" >cpack.log 2>&1 || { cat cpack.log; exit 1; }
runtime=$(ls cpack/xelbde_"$version"_*.deb) && dev=$(ls cpack/xelbde-dev_"$version"_*.deb) ||
  { ls cpack; fail "packages missing"; exit 1; }

[ "$(dpkg-deb -f "$runtime" Package Version | tr '\n' ' ')" = "Package: xelbde Version: $version " ] ||
  fail "runtime package fields: $(dpkg-deb -f "$runtime" Package Version)"
dpkg-deb -f "$runtime" Depends | grep -q 'libstdc++6' || fail "runtime package does not depend on libstdc++6"
dpkg-deb -f "$dev" Depends | grep -qx "xelbde (= $version)" || fail "dev package depends on: $(dpkg-deb -f "$dev" Depends)"

# What each package holds, and what it must not.
contents() { dpkg-deb -c "$1" | awk '{ print $6 }'; }
contents "$runtime" >runtime.txt
contents "$dev" >dev.txt
for file in usr/bin/xelcmd usr/bin/bdesim "libxelbde.so.$version" libxelbde.so.1 man1/xelcmd.1 man1/bdesim.1 \
            completions/xelcmd; do
  grep -q "$file\$" runtime.txt || fail "xelbde lacks $file"
done
for file in include/xelbde/xelbde.h include/tcpcom/tcpcom.h include/xelbde/XELBDE.cpy libxelbde.a libxelbde.so \
            cmake/xelbde/xelbdeConfig.cmake pkgconfig/xelbde.pc man3/xelbde.3 examples/c/xeltour.c; do
  grep -q "$file\$" dev.txt || fail "xelbde-dev lacks $file"
done
grep -Eq 'include/|\.a$|\.so$' runtime.txt && fail "xelbde holds development files"
grep -Eq 'bin/|\.so\.1' dev.txt && fail "xelbde-dev holds runtime files"

dpkg -x "$runtime" root
dpkg -x "$dev" root
lib=$(dirname "$(find root -name libxelbde.so.1)")
export LD_LIBRARY_PATH="$dir/$lib" XELBDE_LOCKDIR="$dir/.locks"
mkdir .locks store
seq 1 500 > store/BOOK.dat
start_bdesim root/usr/bin/bdesim --listen 127.0.0.2 --name HALLE1 --store store
[ "$(root/usr/bin/xelcmd 127.0.0.2 aptyp01b)" = "5214-031" ] || fail "packaged xelcmd: $(root/usr/bin/xelcmd 127.0.0.2 aptyp01b)"

export PKG_CONFIG_PATH="$dir/$lib/pkgconfig"
# shellcheck disable=SC2046
cc -o xeltour root/usr/share/doc/xelbde/examples/c/xeltour.c $(pkg-config --cflags --libs xelbde) ||
  fail "the packaged C example does not build against xelbde-dev"
./xeltour 127.0.0.2 >xeltour.out 2>&1 || { cat xeltour.out; fail "the packaged C example ended $?"; }
cmp -s store/BOOK.dat book.dat || fail "the packaged C example did not upload BOOK"

finish "packages $(basename "$runtime") $(basename "$dev")"
