#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for a bounded slice; CI calls this.
#   1. cmake --preset fuzz && cmake --build --preset fuzz   (build/fuzz)
#   2. replays every file under tests/fuzz/regressions/<target>/ through its target
#   3. fuzzes each target for FUZZ_SECONDS (default 60) from a copy of tests/fuzz/corpus/<target>/, so the
#      committed corpus stays as it is
# Exits non-zero when a regression input fails or a target finds a crash, leak, timeout or memory blow-up;
# what failed is left in build/fuzz/work/artifacts/<target>/ (copy it to tests/fuzz/regressions/<target>/
# once understood). Environment: FUZZ_SECONDS, FUZZ_TIMEOUT (seconds per input, default 10),
# FUZZ_SEED (default 1), FUZZ_TARGETS (space-separated subset).
#
# Run as root, every target runs in a private mount namespace in which all file systems are read-only
# but its scratch folders: the package target unpacks untrusted archives, and a way out of its working
# folder must not be able to write into the real system.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

fuzz_seconds=${FUZZ_SECONDS:-60}
fuzz_timeout=${FUZZ_TIMEOUT:-10}
# A fixed seed by default, so that a run repeats the last one's inputs; FUZZ_SEED=0 lets libFuzzer choose.
fuzz_seed=${FUZZ_SEED:-1}
targets=(${FUZZ_TARGETS:-catalogue_fuzzer package_fuzzer instance_id_fuzzer})
build_dir=$source_dir/build/fuzz
work=$build_dir/work

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:report_error_type=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
if command -v llvm-symbolizer-14 >/dev/null; then
    export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer-14)
fi

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
started=$(now)

step=$(now)
cmake --preset fuzz
cmake --build --preset fuzz
echo "== build: $(elapsed "$step") s"

rm -rf "$work"
mkdir -p "$work"

# Can this shell make a private mount namespace with the file systems read-only?
sandboxed=no
if [ "$(id -u)" = 0 ] && unshare -m --propagation private true 2>/dev/null; then
    sandboxed=yes
else
    echo "warning: no private mount namespace (not root?): fuzzing without the read-only sandbox" >&2
fi

# run_in_sandbox <writable folder> <command...>: runs the command with only that folder writable.
run_in_sandbox() {
    local writable=$1
    shift
    if [ "$sandboxed" = no ]; then
        "$@"
        return
    fi
    unshare -m --propagation private -- bash -euc '
        writable=$1
        shift
        mount --bind "$writable" "$writable"
        findmnt -rn -o TARGET,OPTIONS | while read -r target options; do
            [ "$target" = "$writable" ] && continue
            case ",$options," in
                *,rw,*) mount -o remount,bind,ro "$target" || echo "warning: $target stays writable" >&2 ;;
            esac
        done
        # Scratch space for unpacking lives in memory and is bounded.
        mount -t tmpfs -o size=512m strell-fuzz "$writable/scratch"
        exec "$@"
    ' sandbox "$writable" "$@"
}

failures=()

for target in "${targets[@]}"; do
    binary=$build_dir/$target
    [ -x "$binary" ] || { echo "error: $binary was not built" >&2; exit 2; }
    target_work=$work/$target
    mkdir -p "$target_work/corpus" "$target_work/artifacts" "$target_work/scratch"
    flags=(-timeout="$fuzz_timeout" -rss_limit_mb=2048 -artifact_prefix="$target_work/artifacts/")

    # Regressions first: each file once, on its own, so that every failing one is named.
    step=$(now)
    replayed=0
    if [ -d "tests/fuzz/regressions/$target" ]; then
        while IFS= read -r -d '' input; do
            replayed=$((replayed + 1))
            log=$target_work/regression-$replayed.log
            # In a subshell, so that the shell's "Aborted" notice lands in the log too.
            if ! (run_in_sandbox "$target_work" env STRELL_FUZZ_SCRATCH="$target_work/scratch" \
                "$binary" "${flags[@]}" "$input") >"$log" 2>&1; then
                echo "FAIL regression $input ($target):"
                grep -v '^INFO:' "$log" | tail -n 40
                failures+=("$target: regression ${input#"$source_dir"/}")
            fi
        done < <(find "tests/fuzz/regressions/$target" -type f ! -name '*.md' -print0 | sort -z)
    fi
    echo "== $target: $replayed regression input(s) replayed in $(elapsed "$step") s"

    step=$(now)
    cp -R "tests/fuzz/corpus/$target/." "$target_work/corpus/"
    log=$target_work/fuzz.log
    if (run_in_sandbox "$target_work" env STRELL_FUZZ_SCRATCH="$target_work/scratch" \
        "$binary" "${flags[@]}" -max_total_time="$fuzz_seconds" -seed="$fuzz_seed" -print_final_stats=1 \
        "$target_work/corpus") >"$log" 2>&1; then
        echo "== $target: fuzzed $(elapsed "$step") s, $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" |
            grep -o '[0-9]*$') inputs, corpus $(ls "$target_work/corpus" | wc -l) files, no failure"
    else
        echo "FAIL $target after $(elapsed "$step") s:"
        grep -v '^#[0-9]' "$log" | tail -n 60
        ls -l "$target_work/artifacts"
        failures+=("$target: fuzzing found a failure (see $target_work/artifacts)")
    fi
done

echo "== total: $(elapsed "$started") s"
if [ ${#failures[@]} -gt 0 ]; then
    printf 'failed: %s\n' "${failures[@]}"
    exit 1
fi
echo "all fuzz targets passed"
