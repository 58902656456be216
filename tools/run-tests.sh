#!/usr/bin/env bash
# Installs what is missing, builds both builds (native Linux and the Windows exe) and runs every test:
# the Linux suite under a virtual display, then the Windows exe's checks and whole runs under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

cmake --preset linux
cmake --build --preset linux
cmake --preset windows
cmake --build --preset windows

xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" ctest --preset linux -j2
ctest --preset windows
