#!/bin/sh
# SPDX-License-Identifier: MIT
# cmake --install into a scratch prefix: every file in its place and no
# internal header, the version in the installed files, and a small C program
# built against the installed tree both ways, with pkg-config (shared
# library) and with the CMake package (static library), and run.
# Usage: install_tree.sh BUILD_DIR VERSION
set -eu
build=$1 version=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$(dirname "$0")/common.sh"
cmake --install "$build" --prefix "$dir/usr" >/dev/null
cd "$dir/usr"
lib=$(dirname "$(find . -name libxelbde.so.1)")

for file in bin/xelcmd bin/bdesim "$lib/libxelbde.so.$version" "$lib/libxelbde.so.1" "$lib/libxelbde.so" \
            "$lib/libxelbde.a" include/xelbde/xelbde.h include/tcpcom/tcpcom.h \
            "$lib/cmake/xelbde/xelbdeConfig.cmake" "$lib/cmake/xelbde/xelbdeConfigVersion.cmake" \
            "$lib/pkgconfig/xelbde.pc" include/xelbde/XELBDE.cpy share/doc/xelbde/examples/c/xeltour.c \
            share/doc/xelbde/examples/cobol/xeltour.cob share/doc/xelbde/examples/python/xeltour.py \
            share/man/man1/xelcmd.1 share/man/man1/bdesim.1 share/man/man3/xelbde.3 share/man/man3/APALC00B.3 \
            share/bash-completion/completions/xelcmd share/bash-completion/completions/xelfleet; do
  [ -e "$file" ] || fail "$file is not installed"
done
[ -z "$(find . -name internal.h)" ] || fail "internal.h is installed"
local_includes=$(grep -h '#include "' include/xelbde/*.h include/tcpcom/*.h || true)
[ -z "$local_includes" ] || fail "installed headers include: $local_includes"

[ "$(bin/bdesim --version)" = "bdesim $version" ] || fail "bdesim --version says '$(bin/bdesim --version)'"
for page in share/man/man1/xelcmd.1 share/man/man1/bdesim.1 share/man/man3/xelbde.3; do
  grep -q "^\.TH .*\"xelbde $version\"" "$page" || fail "$page does not name version $version"
done
export PKG_CONFIG_PATH="$dir/usr/$lib/pkgconfig"
[ "$(pkg-config --modversion xelbde)" = "$version" ] || fail "pkg-config version $(pkg-config --modversion xelbde)"

mkdir "$dir/work" "$dir/work/.locks"
cd "$dir/work"
export XELBDE_LOCKDIR="$dir/work/.locks"
# shellcheck disable=SC2046
cc -Wall -Werror -o caller_pkgconfig "$here/installed_caller.c" $(pkg-config --cflags --libs xelbde) \
   -Wl,-rpath,"$dir/usr/$lib" || fail "building with pkg-config"
ldd ./caller_pkgconfig | grep -q "libxelbde.so.1 => $dir/usr/$lib/libxelbde.so.1" ||
  fail "the pkg-config build does not use the installed shared library"

cat > CMakeLists.txt <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(installed_caller C)
find_package(xelbde $version EXACT REQUIRED)
add_executable(caller_cmake "$here/installed_caller.c")
target_link_libraries(caller_cmake PRIVATE xelbde::xelbde_static)
CMAKE
{ cmake -S . -B cmake-build -DCMAKE_PREFIX_PATH="$dir/usr" && cmake --build cmake-build; } >cmake.log 2>&1 ||
  { cat cmake.log; fail "building with the CMake package"; }
ldd cmake-build/caller_cmake | grep -q libxelbde && fail "the CMake build is not linked statically"

for caller in ./caller_pkgconfig cmake-build/caller_cmake; do
  "$caller" || fail "$caller ended $?"
done
finish "install tree"
