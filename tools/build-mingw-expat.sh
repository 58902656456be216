#!/usr/bin/env bash
# Builds a static expat for mingw-w64 from Debian's own source package and installs it into
# /opt/strell/mingw-w64 (the catalogue parser needs it; Debian ships no mingw build of it).
# Idempotent: a stamp naming the source version skips the work when it is already done.
set -euo pipefail

prefix=${STRELL_MINGW_PREFIX:-/opt/strell/mingw-w64}
here=$(cd "$(dirname "$0")/.." && pwd)
toolchain="$here/cmake/mingw-w64-x86_64.cmake"
stamp="$prefix/.strell-expat"

version=$(apt-cache policy libexpat1-dev | awk '/Installed:/ {print $2}')
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
    echo "mingw-w64 expat already built ($version)"
    exit 0
fi

source "$here/tools/mingw-deb-src.sh"
work=$(mktemp -d /tmp/strell-mingw-expat.XXXXXX)
trap 'rm -rf "$work"' EXIT
fetch_debian_sources "$work" expat

expat_src=$(find "$work" -maxdepth 1 -type d -name 'expat-*' | head -n 1)
# The upstream repository's layout: the library's sources in a sub-folder of the same name.
[ -f "$expat_src/CMakeLists.txt" ] || expat_src=$expat_src/expat
# The library alone: no tools, examples, tests or documentation.
cmake -S "$expat_src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DEXPAT_SHARED_LIBS=OFF \
    -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF \
    -DEXPAT_BUILD_FUZZERS=OFF -DCMAKE_CROSSCOMPILING_EMULATOR= >/dev/null
# Debian's patches test "XML_DTD == 1", as its autotools build defines it; expat's CMake defines it empty.
sed -i 's/^#define XML_DTD$/#define XML_DTD 1/' "$work/build/expat_config.h"
cmake --build "$work/build" >/dev/null
cmake --install "$work/build" >/dev/null

echo "$version" > "$stamp"
echo "mingw-w64 expat installed in $prefix ($version)"
