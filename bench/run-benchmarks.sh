#!/bin/sh
# bench/run-benchmarks.sh [options of bench/benchmarks.py]
# The one command for the benchmarks: builds the Linux build (build/linux, the `linux` preset, every
# target), brings the Windows build up to date when it has been configured, then runs bench/benchmarks.py,
# which writes bench/RESULTS.md. Large generated files go to build/bench. Needs root (the installer counts as
# elevated only then, and the runs use private mount namespaces) and the loopback port 18443: it waits,
# bounded, while a ctest or another server holds that port.
#
# The run goes on inside a private mount namespace of its own with tracefs mounted there, so that uprobes
# can split a whole installer run into its steps; without tracefs the split is made by differential runs.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
cd "$source_dir"

if [ "$(id -u)" -ne 0 ]; then
    echo "run-benchmarks.sh: must run as root (the installer's elevation check, mount namespaces)" >&2
    exit 2
fi

cmake --preset linux >/dev/null
cmake --build --preset linux

if [ -f build/windows/build.ninja ]; then
    cmake --build --preset windows
fi

command="bench/run-benchmarks.sh${*:+ $*}"
python=/usr/bin/python3

# shellcheck disable=SC2016
exec unshare --mount --propagation private sh -c '
    mountpoint -q /sys/kernel/tracing || mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null || true
    exec "$@"
' run-benchmarks "$python" "$here/benchmarks.py" --command "$command" "$@"
