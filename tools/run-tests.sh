#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test: the Linux suite on a virtual display,
# the Windows exe's checks and whole runs under Wine, the Linux suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a bounded slice of each fuzz target (FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

for preset in linux windows sanitize; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
done

display=(xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp")
"${display[@]}" ctest --preset linux -j2
ctest --preset windows
"${display[@]}" ctest --preset sanitize -j2
tools/run-fuzzers.sh
