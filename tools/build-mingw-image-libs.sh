#!/usr/bin/env bash
# Builds static libpng and libjpeg for mingw-w64 from Debian's own source packages and installs them into
# /opt/strell/mingw-w64 (JUCE's image code needs both; Debian ships no mingw build of either).
# Idempotent: a stamp naming the source versions and the recipe skips the work when it is already done.
# Reproducible: built with cmake/mingw-w64-x86_64.cmake (no build paths in the objects) and with
# SOURCE_DATE_EPOCH set to each package's Debian changelog date, so any machine builds the same bytes.
set -euo pipefail

prefix=${STRELL_MINGW_PREFIX:-/opt/strell/mingw-w64}
here=$(cd "$(dirname "$0")/.." && pwd)
toolchain="$here/cmake/mingw-w64-x86_64.cmake"
stamp="$prefix/.strell-image-libs"

source "$here/tools/mingw-deb-src.sh"
work=$(mktemp -d /tmp/strell-mingw-libs.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Raise the recipe number when a change here changes the libraries' bytes, so machines rebuild them.
recipe=2
versions="$(apt-cache policy libpng-dev libjpeg62-turbo-dev | awk '/Installed:/ {print $2}' | tr '\n' ' ')recipe $recipe"

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$versions" ]; then
    echo "mingw-w64 image libraries already built ($versions)"
    exit 0
fi

fetch_debian_sources "$work" libjpeg-turbo libpng1.6

jpeg_src=$(find "$work" -maxdepth 1 -type d -name 'libjpeg-turbo-*' | head -n 1)
png_src=$(find "$work" -maxdepth 1 -type d -name 'libpng1.6-*' | head -n 1)

# Each library is built at its own Debian changelog date (libjpeg-turbo's build id is a date).
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$jpeg_src/debian/changelog" -S Timestamp)
cmake -S "$jpeg_src" -B "$work/build-jpeg" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF -DWITH_JAVA=OFF -DCMAKE_CROSSCOMPILING_EMULATOR= >/dev/null
cmake --build "$work/build-jpeg" --target jpeg-static >/dev/null
mkdir -p "$prefix/include" "$prefix/lib"
cp "$work/build-jpeg/libjpeg.a" "$prefix/lib/libjpeg.a"
cp "$jpeg_src/jpeglib.h" "$jpeg_src/jmorecfg.h" "$jpeg_src/jerror.h" "$jpeg_src/jpegint.h" "$prefix/include/"
cp "$work/build-jpeg/jconfig.h" "$prefix/include/"
# JUCE relies on the boolean typedef, which jconfig.h skips on Windows once rpcndr.h has been seen;
# rpcndr.h's boolean is the same type (unsigned char), so the typedef is made unconditional.
sed -i "s/^#ifndef __RPCNDR_H__.*/#if 1 \/* boolean always: the same type as in rpcndr.h *\//" "$prefix/include/jconfig.h"

SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$png_src/debian/changelog" -S Timestamp)
cmake -S "$png_src" -B "$work/build-png" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DPNG_SHARED=OFF -DPNG_STATIC=ON \
    -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DSKIP_INSTALL_PROGRAMS=ON -DZLIB_USE_STATIC_LIBS=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR= >/dev/null
cmake --build "$work/build-png" >/dev/null
cmake --install "$work/build-png" >/dev/null

echo "$versions" > "$stamp"
echo "mingw-w64 image libraries installed in $prefix ($versions)"
