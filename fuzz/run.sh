#!/usr/bin/env bash
# Runs the libFuzzer targets of a TESSEL_FUZZ build, one after the other, from the seed corpus.
# Usage: fuzz/run.sh <fuzz build folder> <seconds per target> [target...] [-- extra libFuzzer flags]
# Fails on any finding (crash, broken invariant, leak, timeout, out-of-memory); the input that caused it
# is kept in <build>/fuzz-findings. Targets: load export replace diff (all when none is named).
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 <fuzz build folder> <seconds per target> [target...] [-- libFuzzer flags]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
shift 2
targets=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    targets+=("$1")
    shift
done
[ $# -gt 0 ] && shift
[ ${#targets[@]} -gt 0 ] || targets=(load export replace diff)
source_folder=$(cd "$(dirname "$0")" && pwd)

# A short quarantine keeps freed memory reusable: the targets allocate per input, and the default
# 256 MiB quarantine turns every allocation into fresh page faults. Use-after-free within the last
# 16 MiB freed is still caught, which covers every allocation one input makes.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:quarantine_size_mb=16:max_malloc_fill_size=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

work=$build/fuzz-work
findings=$build/fuzz-findings
mkdir -p "$work" "$findings"
rm -rf "$work/seeds"
"$build/tests/hostile/tessel-fuzz-seeds" "$work/seeds" >/dev/null 2>&1 \
    || "$build/fuzz/tessel-fuzz-seeds" "$work/seeds" >/dev/null

status=0
for target in "${targets[@]}"; do
    corpus=$work/corpus-$target
    mkdir -p "$corpus"
    echo "== fuzz-$target: $seconds s"
    failed=0
    if ! "$build/fuzz/fuzz-$target" "$corpus" "$work/seeds" \
        -dict="$source_folder/tessel.dict" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
        -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/$target-" "$@" \
        >"$work/$target.log" 2>&1; then
        failed=1
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|^Done' "$work/$target.log" || true
    if [ $failed -ne 0 ] || compgen -G "$findings/$target-*" >/dev/null; then
        status=1
        echo "fuzz-$target found a fault; log: $work/$target.log" >&2
        grep -E 'ERROR|invariant broken|SUMMARY' "$work/$target.log" | head -5 >&2 || true
    fi
done
exit $status
