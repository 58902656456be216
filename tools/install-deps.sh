#!/usr/bin/env bash
# Installs everything the builds and tests need on Debian 12 (run as root): Debian packages, then static
# libpng/libjpeg and expat for mingw-w64 built from Debian's sources. Idempotent: does nothing that is already done.
set -euo pipefail

packages=(
    # Build tools and JUCE with the libraries its five modules need natively.
    cmake ninja-build g++ pkg-config ccache clang-format
    juce-modules-source libexpat1-dev libcurl4-openssl-dev libssl-dev libfreetype-dev libpng-dev libjpeg-dev
    zlib1g-dev
    libx11-dev libxext-dev libxrandr-dev libxinerama-dev libxcursor-dev fonts-dejavu-core fontconfig
    # The Windows cross build, and Debian's sources for its image libraries.
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools libz-mingw-w64-dev dpkg-dev
    # Tests: GoogleTest, a display, servers, packaging and inspection tools, Wine.
    libgtest-dev libgmock-dev googletest xvfb xauth x11-utils imagemagick
    nginx-light openssl curl zip unzip python3 python3-pefile icoutils wine wine64 util-linux
    # Test packages as other tools write them (bsdtar, 7-Zip).
    libarchive-tools 7zip
    # Benchmarks and fuzzing (bench/run-benchmarks.sh installs Google Benchmark itself).
    hyperfine valgrind time linux-perf clang-14 libfuzzer-14-dev libclang-rt-14-dev
    # Release engineering: Authenticode signing, and a moved clock for the reproducibility test.
    osslsigncode faketime
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

"$(dirname "$0")/build-mingw-image-libs.sh"
"$(dirname "$0")/build-mingw-expat.sh"
