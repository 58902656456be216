#!/usr/bin/env bash
# Builds the Windows installer and shows a whole run of it under Wine: a simulated interface, a local HTTPS
# download server, the progress window, the package's setup program and the exit code.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset windows
cmake --build --preset windows
/usr/bin/python3 tools/demo.py build/windows
