#!/bin/sh
# bench/run-benchmarks.sh [options of bench/benchmarks.py]
# The one command for the benchmarks: installs Google Benchmark when it is missing (the tests do not need
# it), turns the benchmarks on in the Linux build (build/linux, the `linux` preset with STRELL_BENCH=ON),
# builds it, then runs bench/benchmarks.py, which writes bench/RESULTS.md. Large generated files go to
# build/bench. Needs root (the installer counts as elevated only then, and the runs use private mount
# namespaces) and the loopback port: it waits, bounded, while a test or another server holds it.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cd "$here/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "run-benchmarks.sh: must run as root (the installer's elevation check, mount namespaces)" >&2
    exit 2
fi

if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends libbenchmark-dev
fi

cmake --preset linux -DSTRELL_BENCH=ON >/dev/null
cmake --build --preset linux

exec /usr/bin/python3 "$here/benchmarks.py" --command "bench/run-benchmarks.sh${*:+ $*}" "$@"
